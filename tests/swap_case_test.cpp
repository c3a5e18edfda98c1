// The translation of a character, for every one of the 256 byte values, and
// what of it reaches the platform's case conversions.
//
// This file is built with -fno-inline and without the compiler's built-in
// knowledge of toupper and tolower, so that glibc's inline versions stay out
// and every conversion is a call, which the recorders below see; a test that
// saw none would fail, not pass.
#include <dlfcn.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "swap_case.h"

namespace {

// The arguments of each toupper and tolower call while recording.
bool g_recording = false;
std::vector<int> g_toupper_arguments;
std::vector<int> g_tolower_arguments;

using ConversionFunction = int (*)(int);

ConversionFunction Real(const char* name) {
    return reinterpret_cast<ConversionFunction>(dlsym(RTLD_NEXT, name));
}

int Record(std::vector<int>& arguments, const char* name, int ch) {
    if (g_recording) {
        arguments.push_back(ch);
    }
    return Real(name)(ch);
}

}  // namespace

// Stand in for the C library's conversions in this program, and forward to them.
extern "C" int toupper(int ch) noexcept {
    return Record(g_toupper_arguments, "toupper", ch);
}

extern "C" int tolower(int ch) noexcept {
    return Record(g_tolower_arguments, "tolower", ch);
}

namespace {

// The translation, from the ASCII table: 0x61-0x7A ('a'-'z') and 0x41-0x5A
// ('A'-'Z') trade places; every other byte stays.
int Expected(int byte) {
    if (byte >= 0x61 && byte <= 0x7A) {
        return byte - 0x20;
    }
    if (byte >= 0x41 && byte <= 0x5A) {
        return byte + 0x20;
    }
    return byte;
}

// Every value of a signed char: -128 (0x80) to 127.
std::vector<char> EveryChar() {
    std::vector<char> chars;
    for (int value = -128; value <= 127; ++value) {
        chars.push_back(static_cast<char>(value));
    }
    return chars;
}

TEST(SwapCaseTest, ChangesExactlyTheLettersOfEveryByteValue) {
    for (const char ch : EveryChar()) {
        const int byte = static_cast<unsigned char>(ch);
        EXPECT_EQ(static_cast<unsigned char>(SwapCase(ch)), Expected(byte)) << "byte " << byte;
    }
}

// 'z' and 'Z' are never sent, yet translated like every letter; their
// neighbours are not letters.
TEST(SwapCaseTest, LettersAtTheEdgesOfBothRanges) {
    EXPECT_EQ(SwapCase('a'), 'A');
    EXPECT_EQ(SwapCase('z'), 'Z');
    EXPECT_EQ(SwapCase('A'), 'a');
    EXPECT_EQ(SwapCase('Z'), 'z');
    for (const char neighbour : {'`', '{', '@', '[', '\0', '\x7F'}) {
        EXPECT_EQ(SwapCase(neighbour), neighbour) << static_cast<int>(neighbour);
    }
}

// Only letters reach the conversions: a negative argument (a byte above 0x7F
// in a signed char) would be undefined behaviour there.
TEST(SwapCaseTest, OnlyLettersReachToupperAndTolower) {
    g_toupper_arguments.clear();
    g_tolower_arguments.clear();
    std::string translated;  // used, so that no call can be left out
    g_recording = true;
    for (const char ch : EveryChar()) {
        translated += SwapCase(ch);
    }
    g_recording = false;
    EXPECT_EQ(translated.size(), EveryChar().size());
    std::vector<int> lower;
    std::vector<int> upper;
    for (int i = 0; i < 26; ++i) {
        lower.push_back('a' + i);
        upper.push_back('A' + i);
    }
    EXPECT_EQ(g_toupper_arguments, lower);
    EXPECT_EQ(g_tolower_arguments, upper);
}

}  // namespace
