#include "helper/reply.h"

#include "platform/streams.h"

#include <cstdio>
#include <string_view>

namespace {

// The two-character escapes JSON has, or nothing for a character that has none.
std::string_view shortEscape(char c) {
    constexpr std::string_view escaped = "\"\\/\b\f\n\r\t";
    constexpr std::string_view written[] = {"\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t"};
    auto at = escaped.find(c);
    return at == std::string_view::npos ? std::string_view() : written[at];
}

} // namespace

void appendJsonString(WipedBuffer& out, std::string_view text, Solidus solidus) {
    out.append('"');
    for (char c : text) {
        // Every character that may need escaping sorts at or below the solidus, but the reverse solidus.
        if ((static_cast<unsigned char>(c) > '/' && c != '\\') || (c == '/' && solidus == Solidus::kept)) {
            out.append(c);
        } else if (auto escape = shortEscape(c); !escape.empty()) {
            out.append(escape);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out.append(escaped);
        } else {
            out.append(c);
        }
    }
    out.append('"');
}

namespace {

void appendValue(WipedBuffer& out, const WipedBuffer& text, Solidus solidus) {
    appendJsonString(out, text, solidus);
}

void appendValue(WipedBuffer& out, const ReplyValue& value, Solidus solidus);

// Members come out in the map's order, which is ascending by key.
template <typename Members> void appendObject(WipedBuffer& out, const Members& members, Solidus solidus) {
    out.append('{');
    const char* separator = "";
    for (const auto& [key, member] : members) {
        out.append(separator);
        appendJsonString(out, key, solidus);
        out.append(':');
        appendValue(out, member, solidus);
        separator = ",";
    }
    out.append('}');
}

void appendValue(WipedBuffer& out, const ReplyValue& value, Solidus solidus) {
    if (auto flag = std::get_if<bool>(&value))
        out.append(*flag ? "true" : "false");
    else if (auto text = std::get_if<WipedBuffer>(&value))
        appendJsonString(out, *text, solidus);
    else if (std::holds_alternative<std::nullptr_t>(value))
        out.append("null");
    else
        appendObject(out, std::get<StringMap>(value), solidus);
}

} // namespace

void appendStringObject(WipedBuffer& out, const StringMap& members, Solidus solidus) {
    appendObject(out, members, solidus);
}

Reply failureReply() {
    return {{"ok", false}};
}

WipedBuffer serializeReply(const Reply& reply) {
    WipedBuffer out;
    appendObject(out, reply, Solidus::escaped);
    return out;
}

void output(const Reply& reply) {
    // A reader that has gone away makes the write fail (SIGPIPE is ignored); the status stays 0.
    writeWhole(standardOutput, serializeReply(reply));
    endProcessNow(0);
}
