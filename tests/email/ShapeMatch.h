#pragma once
#include <string>

// Matches text against a fixed-length shape: '#' a lower-case hex digit,
// '9' a decimal digit, 'A' an ASCII letter; any other byte stands for itself.
inline bool matchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (shape[i]) {
        case '#':
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
            break;
        case '9':
            if (c < '0' || c > '9') return false;
            break;
        case 'A':
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
            break;
        default:
            if (c != shape[i]) return false;
        }
    }
    return true;
}
