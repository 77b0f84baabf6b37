// Text as the programs check, count and show it: UTF-8, user-perceived characters (extended grapheme
// clusters), lines and lower-case hexadecimal. One rule holds for bytes that are not UTF-8: each such
// byte is read as U+FFFD and is a character of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::int32_t replacementCharacter = 0xFFFD;

// Whether text is UTF-8 throughout.
bool isUtf8(std::string_view text);

// Each code point of text in order, and whether a new user-perceived character starts with it.
struct TextWalk {
    std::string_view text;
    std::size_t at = 0;
    std::int32_t previous = -1; // the code point before, or -1 at the start and after a stray byte
    std::int32_t breakState = 0;
};

struct CodePointStep {
    std::int32_t codePoint = 0;
    bool startsCharacter = false;
};

bool atEnd(const TextWalk& walk);
// The next code point; only while !atEnd(walk).
CodePointStep nextCodePoint(TextWalk& walk);

// Whether text holds at most `limit` user-perceived characters; counting stops once the limit is passed.
bool hasAtMostCharacters(std::string_view text, std::size_t limit);

// The length of the UTF-8 character that text starts with; 0 when it does not start with one (a stray
// byte, an overlong form, a surrogate, or nothing at all).
std::size_t characterLength(std::string_view text);

// The code point encoded in UTF-8 into `out`; the number of bytes written, 1 to 4.
std::size_t encodeCodePoint(std::int32_t codePoint, char (&out)[4]);

// Appends the code point encoded in UTF-8, to any kind of string (a wiped one too).
template <typename Text> void appendCodePoint(Text& text, std::int32_t codePoint) {
    char encoded[4];
    text.append(encoded, encodeCodePoint(codePoint, encoded));
}

// The text before the first line feed, or all of it; `text` keeps what follows the line feed.
std::string_view takeLine(std::string_view& text);

// Whether the code point changes the order of the text around it or is not seen itself: bidirectional
// controls and other formatting characters (zero-width space and joiners, word joiner, byte order
// mark), line and paragraph separators, and control characters. Tab, line feed, carriage return and NUL
// are not counted: they are shown as the spacing and lines they stand for, or as a symbol.
bool isUnseenFormatting(std::int32_t codePoint);

// Whether text is digits and the letters a to f only (the empty text included).
bool isLowerHex(std::string_view text);

std::string lowerHex(const unsigned char* bytes, std::size_t size);
