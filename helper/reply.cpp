#include "helper/reply.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

void appendJsonString(WipedBuffer& out, std::string_view text, Solidus solidus) {
    out.append('"');
    for (char c : text) {
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '/':
            out.append(solidus == Solidus::escaped ? "\\/" : "/");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out.append(escaped);
            } else {
                out.append(c);
            }
        }
    }
    out.append('"');
}

namespace {

void appendValue(WipedBuffer& out, const WipedBuffer& text) {
    appendJsonString(out, text, Solidus::escaped);
}

void appendValue(WipedBuffer& out, const ReplyValue& value);

// Members come out in the map's order, which is ascending by key.
template <typename Members> void appendObject(WipedBuffer& out, const Members& members) {
    out.append('{');
    const char* separator = "";
    for (const auto& [key, member] : members) {
        out.append(separator);
        appendJsonString(out, key, Solidus::escaped);
        out.append(':');
        appendValue(out, member);
        separator = ",";
    }
    out.append('}');
}

void appendValue(WipedBuffer& out, const ReplyValue& value) {
    if (auto flag = std::get_if<bool>(&value))
        out.append(*flag ? "true" : "false");
    else if (auto text = std::get_if<WipedBuffer>(&value))
        appendJsonString(out, *text, Solidus::escaped);
    else if (std::holds_alternative<std::nullptr_t>(value))
        out.append("null");
    else
        appendObject(out, std::get<StringMap>(value));
}

void writeAll(int fd, std::string_view bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += static_cast<size_t>(count);
    }
}

} // namespace

Reply failureReply() {
    return {{"ok", false}};
}

WipedBuffer serializeReply(const Reply& reply) {
    WipedBuffer out;
    appendObject(out, reply);
    return out;
}

void output(const Reply& reply) {
    // A reader that has gone away makes the write fail (SIGPIPE is ignored); the status stays 0.
    writeAll(STDOUT_FILENO, serializeReply(reply));
    _exit(0);
}
