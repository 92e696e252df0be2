// The fold and class tables, entry by entry where it matters.
#include "address_folding.h"

#include <gtest/gtest.h>

namespace {

TEST(AddressFolding, FoldsAsciiCapitalsAndTheFourWindowsCapitalsOnly) {
    for (int byte = 0; byte < 256; ++byte) {
        int expected = byte;
        if (byte >= 'A' && byte <= 'Z') {
            expected = byte + 32;
        } else if (byte == 138 || byte == 140 || byte == 142) {
            expected = byte + 16;
        } else if (byte == 159) {
            expected = 255;
        }
        EXPECT_EQ(fold_table[byte], expected) << "byte " << byte;
    }
}

// 215, 247 and 255 once moved to 208, 240 and 223: folding was then not
// idempotent, and an owner address holding byte 159 never equalled itself.
TEST(AddressFolding, FoldingIsIdempotent) {
    for (int byte = 0; byte < 256; ++byte) {
        EXPECT_EQ(fold_table[fold_table[byte]], fold_table[byte]) << "byte " << byte;
    }
    std::string owner =
        "\x9f"
        "dmin@Example.COM";
    EXPECT_TRUE(equal_folded(owner, fold_lower(owner)));
}

TEST(AddressFolding, FoldLowerKeepsTheLength) {
    EXPECT_EQ(fold_lower(""), "");
    EXPECT_EQ(fold_lower(std::string("John.Doe\0+Tag@Example.COM", 25)),
              std::string("john.doe\0+tag@example.com", 25));
}

TEST(AddressFolding, EqualUnderFoldingNeedsTheSameLength) {
    const struct {
        std::string left, right;
        bool equal;
    } cases[] = {
        {"", "", true},
        {"Owner@Example.com", "owner@example.COM", true},
        {"owner@example.com", "owner@example.co", false},
        {"owner@example.com ", "owner@example.com", false},
        {"\x8a@x", "\x9a@x", true},
        {"\xc0@x", "\xe0@x", false},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(equal_folded(row.left, row.right), row.equal) << row.left << " vs " << row.right;
    }
}

TEST(AddressFolding, LetterAndSpaceClasses) {
    auto is_letter = [](int byte) {
        return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || byte == 138 ||
               byte == 140 || byte == 142 || byte == 154 || byte == 156 || byte == 158 ||
               byte == 159 || (byte >= 192 && byte <= 214) || (byte >= 216 && byte <= 247) ||
               byte >= 249;
    };
    for (int byte = 0; byte < 256; ++byte) {
        EXPECT_EQ((char_class_table[byte] & char_letter) != 0, is_letter(byte)) << "byte " << byte;
        bool space = (byte >= 9 && byte <= 13) || byte == ' ';
        EXPECT_EQ((char_class_table[byte] & char_space) != 0, space) << "byte " << byte;
    }
}

}  // namespace
