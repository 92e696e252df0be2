// Folding addresses through fold_table.
#include "address_folding.h"

std::string fold_lower(std::string_view text) {
    std::string folded(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        folded[i] = static_cast<char>(fold_byte(text[i]));
    }
    return folded;
}

bool equal_folded(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) {
        return false;
    }
    for (size_t i = 0; i < left.size(); ++i) {
        if (fold_byte(left[i]) != fold_byte(right[i])) {
            return false;
        }
    }
    return true;
}
