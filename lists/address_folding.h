// The one lower-casing rule for e-mail addresses, and the byte classes used to
// recognise the envelope of a queued message. Both tables are fixed at build time.
// Folding keeps the length of a text and is idempotent: a folded text folds to
// itself, so an address folded once compares equal to its folded form later.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Class bits of char_class_table.
constexpr uint8_t char_letter = 0x01;
constexpr uint8_t char_upper = 0x02;
constexpr uint8_t char_lower = 0x04;
constexpr uint8_t char_digit = 0x08;
constexpr uint8_t char_space = 0x10;

namespace folding_detail {

constexpr bool in(int byte, int first, int last) {
    return byte >= first && byte <= last;
}

constexpr std::array<uint8_t, 256> make_fold_table() {
    std::array<uint8_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        table[byte] = static_cast<uint8_t>(byte);
    }
    for (int byte = 'A'; byte <= 'Z'; ++byte) {
        table[byte] = static_cast<uint8_t>(byte + ('a' - 'A'));
    }
    // Windows-1252 capitals: S and Z with caron, the OE ligature, Y with diaeresis.
    // The Latin-1 capitals 192 to 222 are not folded, and 215, 247 and 255 (the
    // multiplication sign, the division sign, y with diaeresis) are not capitals.
    table[138] = 154;
    table[140] = 156;
    table[142] = 158;
    table[159] = 255;
    return table;
}

// Byte 247 carries the letter bit and 248 does not; only the letter and the
// white-space bits are read anywhere.
constexpr std::array<uint8_t, 256> make_char_class_table() {
    std::array<uint8_t, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        bool upper = in(byte, 'A', 'Z') || byte == 138 || byte == 140 || byte == 142 ||
                     byte == 159 || in(byte, 192, 214) || in(byte, 216, 222);
        bool lower = in(byte, 'a', 'z') || byte == 154 || byte == 156 || byte == 158 ||
                     in(byte, 223, 247) || in(byte, 249, 255);
        uint8_t bits = 0;
        if (upper) {
            bits |= char_letter | char_upper;
        }
        if (lower) {
            bits |= char_letter | char_lower;
        }
        if (in(byte, '0', '9')) {
            bits |= char_digit;
        }
        if (in(byte, 9, 13) || byte == ' ') {
            bits |= char_space;
        }
        table[byte] = bits;
    }
    return table;
}

}  // namespace folding_detail

// Byte to its lower-case form: ASCII capitals and bytes 138, 140, 142 and 159.
inline constexpr std::array<uint8_t, 256> fold_table = folding_detail::make_fold_table();

// Byte to its class bits (char_letter, char_space, ...).
inline constexpr std::array<uint8_t, 256> char_class_table =
    folding_detail::make_char_class_table();

inline uint8_t fold_byte(char byte) {
    return fold_table[static_cast<uint8_t>(byte)];
}

inline bool has_class(char byte, uint8_t bits) {
    return (char_class_table[static_cast<uint8_t>(byte)] & bits) != 0;
}

// The text with every byte replaced by its fold_table entry.
std::string fold_lower(std::string_view text);

// Same length, and the same byte at every position once both are folded.
bool equal_folded(std::string_view left, std::string_view right);
