#include "helper/json_reader.h"

#include "platform/text.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Reader {
    std::string_view text;
    std::size_t at = 0;
    WipedString token;      // the string being read
    std::vector<bool> open; // the objects (true) and arrays around the next token

    ~Reader() { wipe(token.data(), token.capacity()); }

    bool atEnd() const { return at == text.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text[at]); }
    bool accept(char expected) {
        if (atEnd() || text[at] != expected)
            return false;
        ++at;
        return true;
    }
    void skipSpace() {
        while (!atEnd() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }
};

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

std::size_t skipDigits(Reader& reader) {
    std::size_t start = reader.at;
    while (!reader.atEnd() && isDigit(reader.peek()))
        ++reader.at;
    return reader.at - start;
}

// A number as RFC 8259 writes it. One too large for a double is refused, as by every reader that holds
// numbers as doubles.
bool readNumber(Reader& reader) {
    std::size_t start = reader.at;
    reader.accept('-');
    if (reader.accept('0')) {
    } else if (skipDigits(reader) == 0) {
        return false;
    }
    if (reader.accept('.') && skipDigits(reader) == 0)
        return false;
    bool exponent = reader.accept('e') || reader.accept('E');
    if (exponent) {
        if (!reader.accept('+'))
            reader.accept('-');
        if (skipDigits(reader) == 0)
            return false;
    }
    // Fewer than 309 digits and no exponent stay below the largest double.
    if (!exponent && reader.at - start < 309)
        return true;
    std::string number(reader.text.substr(start, reader.at - start));
    return std::isfinite(std::strtod(number.c_str(), nullptr));
}

bool readWord(Reader& reader, std::string_view word) {
    if (!reader.text.substr(reader.at).starts_with(word))
        return false;
    reader.at += word.size();
    return true;
}

std::optional<std::uint32_t> readHex4(Reader& reader) {
    if (reader.text.size() - reader.at < 4)
        return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = reader.text[reader.at++];
        value <<= 4;
        if (isDigit(c))
            value |= c - '0';
        else if (c >= 'a' && c <= 'f')
            value |= c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            value |= c - 'A' + 10;
        else
            return std::nullopt;
    }
    return value;
}

// After "\u": one code point, a surrogate pair written as two escapes included.
bool readUnicodeEscape(Reader& reader) {
    auto code = readHex4(reader);
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF))
        return false;
    if (*code >= 0xD800 && *code <= 0xDBFF) {
        if (!reader.accept('\\') || !reader.accept('u'))
            return false;
        auto low = readHex4(reader);
        if (!low || *low < 0xDC00 || *low > 0xDFFF)
            return false;
        *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
    }
    appendCodePoint(reader.token, static_cast<std::int32_t>(*code));
    return true;
}

bool readEscape(Reader& reader) {
    if (reader.atEnd())
        return false;
    constexpr std::string_view escapes = "\"\\/bfnrt";
    constexpr std::string_view meanings = "\"\\/\b\f\n\r\t";
    char c = reader.text[reader.at++];
    if (c == 'u')
        return readUnicodeEscape(reader);
    auto at = escapes.find(c);
    if (at == std::string_view::npos)
        return false;
    reader.token.push_back(meanings[at]);
    return true;
}

// One well-formed UTF-8 character of two to four bytes: no overlong form, no surrogate, nothing above
// U+10FFFF.
bool readMultibyte(Reader& reader) {
    auto length = characterLength(reader.text.substr(reader.at));
    if (length < 2)
        return false;
    reader.token.append(reader.text.data() + reader.at, length);
    reader.at += length;
    return true;
}

// After the opening quotation mark: the string's text into the token.
bool readString(Reader& reader) {
    reader.token.clear();
    for (;;) {
        if (reader.atEnd())
            return false;
        unsigned char c = reader.peek();
        if (c >= 0x80) {
            if (!readMultibyte(reader))
                return false;
            continue;
        }
        ++reader.at;
        if (c == '"')
            return true;
        if (c == '\\') {
            if (!readEscape(reader))
                return false;
        } else if (c < 0x20) {
            return false;
        } else {
            reader.token.push_back(static_cast<char>(c));
        }
    }
}

bool readValue(Reader& reader, const JsonEventSink& sink) {
    std::size_t depth = reader.open.size();
    if (reader.atEnd())
        return false;
    WipedString none;
    switch (reader.peek()) {
    case '{':
    case '[': {
        bool isObject = reader.text[reader.at++] == '{';
        reader.open.push_back(isObject);
        return sink(isObject ? JsonEvent::objectStart : JsonEvent::arrayStart, depth, none);
    }
    case '"':
        ++reader.at;
        return readString(reader) && sink(JsonEvent::string, depth, reader.token);
    case 't':
        return readWord(reader, "true") && sink(JsonEvent::otherValue, depth, none);
    case 'f':
        return readWord(reader, "false") && sink(JsonEvent::otherValue, depth, none);
    case 'n':
        return readWord(reader, "null") && sink(JsonEvent::otherValue, depth, none);
    default:
        return readNumber(reader) && sink(JsonEvent::otherValue, depth, none);
    }
}

bool readName(Reader& reader, const JsonEventSink& sink) {
    if (!reader.accept('"') || !readString(reader) ||
        !sink(JsonEvent::name, reader.open.size(), reader.token))
        return false;
    reader.skipSpace();
    return reader.accept(':');
}

// Whether the next character closes the innermost object or array.
bool atClosing(const Reader& reader) {
    return !reader.atEnd() && reader.text[reader.at] == (reader.open.back() ? '}' : ']');
}

bool readEnd(Reader& reader, const JsonEventSink& sink) {
    ++reader.at;
    reader.open.pop_back();
    WipedString none;
    return sink(JsonEvent::end, reader.open.size(), none);
}

} // namespace

bool readJson(std::string_view text, const JsonEventSink& sink) {
    Reader reader{text};
    if (text.starts_with("\xEF\xBB\xBF"))
        reader.at = 3;
    // Each turn reads one value, with the member name before it inside an object, then every end and
    // the separator that follow it.
    bool justOpened = false;
    for (;;) {
        reader.skipSpace();
        if (justOpened && atClosing(reader)) {
            if (!readEnd(reader, sink))
                return false;
        } else {
            if (!reader.open.empty() && reader.open.back() && !readName(reader, sink))
                return false;
            reader.skipSpace();
            std::size_t depth = reader.open.size();
            if (!readValue(reader, sink))
                return false;
            justOpened = reader.open.size() > depth;
            if (justOpened)
                continue;
        }
        for (;;) {
            reader.skipSpace();
            if (reader.open.empty())
                return reader.atEnd();
            if (reader.accept(','))
                break;
            if (!atClosing(reader) || !readEnd(reader, sink))
                return false;
        }
        justOpened = false;
    }
}

void StringMembers::take(JsonEvent event, std::size_t at, WipedString& text) {
    if (at != depth || event == JsonEvent::end)
        return;
    if (event == JsonEvent::name) {
        name.assign(text.data(), text.size());
    } else if (event == JsonEvent::string) {
        others.erase(name);
        strings.insert_or_assign(name, WipedBuffer(std::move(text)));
    } else {
        strings.erase(name);
        others.insert(name);
    }
}

std::optional<StringMap> StringMembers::values() && {
    if (!others.empty())
        return std::nullopt;
    return std::move(strings);
}
