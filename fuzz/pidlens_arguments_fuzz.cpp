// pidlens's argument check against a plain reading of its rule, and its JSON string writer against
// decoding what it wrote.
#include "pidlens/pidlens.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// 1 to 10 decimal digits naming 2 to 2147483647, leading zeros allowed.
std::optional<uint32_t> expectedPid(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value < 2 || value > 2147483647)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes the writer's escapes; nothing when the text is not a string literal in the writer's form.
std::optional<std::string> decoded(const std::string& literal) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"')
        return std::nullopt;
    std::string text;
    for (size_t at = 1; at + 1 < literal.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(literal[at]);
        if (c == '"' || c < 0x20)
            return std::nullopt;
        if (c != '\\') {
            text += static_cast<char>(c);
            continue;
        }
        char next = literal[++at];
        if (next == '"' || next == '\\') {
            text += next;
        } else if (next == 'u' && at + 4 < literal.size() - 1 && literal.compare(at + 1, 2, "00") == 0) {
            int high = hexValue(literal[at + 3]), low = hexValue(literal[at + 4]);
            if (high < 0 || high > 1 || low < 0)
                return std::nullopt;
            text += static_cast<char>(high * 16 + low);
            at += 4;
        } else {
            return std::nullopt;
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (parsePid(text) != expectedPid(text))
        std::abort();

    char* written = nullptr;
    size_t writtenSize = 0;
    FILE* out = open_memstream(&written, &writtenSize);
    if (out == nullptr)
        return 0;
    jsonString(text.c_str(), out);
    std::fclose(out);
    auto back = decoded(std::string(written, writtenSize));
    std::free(written);
    if (back != text.substr(0, text.find('\0')))
        std::abort();
    return 0;
}
