// ASCII letter case, the one rule for names the box's lines and the settings file compare without
// regard to case: only A..Z fold, so bytes above 0x7F (another code page's letters) never change.
#pragma once

#include <string_view>

namespace dl {

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool asciiEqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace dl
