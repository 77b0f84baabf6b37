#include "platform/text.h"

#include <algorithm>
#include <utf8proc.h>

bool isUtf8(std::string_view text) {
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        utf8proc_int32_t codePoint = 0;
        auto length =
            utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
        if (length <= 0)
            return false;
        at += static_cast<std::size_t>(length);
    }
    return true;
}

bool atEnd(const TextWalk& walk) {
    return walk.at >= walk.text.size();
}

CodePointStep nextCodePoint(TextWalk& walk) {
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(walk.text.data());
    utf8proc_int32_t codePoint = 0;
    auto length = utf8proc_iterate(bytes + walk.at, static_cast<utf8proc_ssize_t>(walk.text.size() - walk.at),
                                   &codePoint);
    if (length <= 0) {
        // Neither joined to what came before nor to what follows: a stray byte can belong to nothing.
        walk.at += 1;
        walk.previous = -1;
        walk.breakState = 0;
        return {replacementCharacter, true};
    }
    walk.at += static_cast<std::size_t>(length);
    bool starts =
        walk.previous < 0 || utf8proc_grapheme_break_stateful(walk.previous, codePoint, &walk.breakState);
    walk.previous = codePoint;
    return {codePoint, starts};
}

bool hasAtMostCharacters(std::string_view text, std::size_t limit) {
    TextWalk walk{text};
    std::size_t count = 0;
    while (!atEnd(walk)) {
        if (nextCodePoint(walk).startsCharacter && ++count > limit)
            return false;
    }
    return true;
}

std::size_t characterLength(std::string_view text) {
    utf8proc_int32_t codePoint = 0;
    auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                   static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::size_t encodeCodePoint(std::int32_t codePoint, char (&out)[4]) {
    return static_cast<std::size_t>(
        utf8proc_encode_char(codePoint, reinterpret_cast<utf8proc_uint8_t*>(out)));
}

std::string_view takeLine(std::string_view& text) {
    auto end = text.find('\n');
    auto line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return line;
}

bool isUnseenFormatting(std::int32_t codePoint) {
    if (codePoint == '\t' || codePoint == '\n' || codePoint == '\r' || codePoint == 0)
        return false;
    switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_CC:
        return true;
    default:
        return false;
    }
}

bool isLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string lowerHex(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xf]);
    }
    return text;
}
