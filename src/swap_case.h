// The translation a translater applies to each character of a job.
#ifndef TRANSLATERS_SWAP_CASE_H
#define TRANSLATERS_SWAP_CASE_H

#include <cctype>

// Swaps the case of 'a'-'z' and 'A'-'Z'; every other value, those above 0x7F
// included, comes out as it went in. The range tests come first, so only
// letters reach toupper/tolower and no negative value does (that would be
// undefined). The conversions are those of the default locale, which the
// program never changes.
inline char SwapCase(char ch) {
    if (ch >= 'a' && ch <= 'z') {
        return static_cast<char>(std::toupper(ch));
    }
    if (ch >= 'A' && ch <= 'Z') {
        return static_cast<char>(std::tolower(ch));
    }
    return ch;
}

#endif  // TRANSLATERS_SWAP_CASE_H
