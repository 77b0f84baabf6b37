#include "helper/reply.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendValue(std::string& out, const std::string& text) {
    appendJsonString(out, text);
}

void appendValue(std::string& out, const ReplyValue& value);

// Members come out in the map's order, which is ascending by key.
template <typename Members> void appendObject(std::string& out, const Members& members) {
    out += '{';
    const char* separator = "";
    for (const auto& [key, member] : members) {
        out += separator;
        appendJsonString(out, key);
        out += ':';
        appendValue(out, member);
        separator = ",";
    }
    out += '}';
}

void appendValue(std::string& out, const ReplyValue& value) {
    if (auto flag = std::get_if<bool>(&value))
        out += *flag ? "true" : "false";
    else if (auto text = std::get_if<std::string>(&value))
        appendJsonString(out, *text);
    else if (std::holds_alternative<std::nullptr_t>(value))
        out += "null";
    else
        appendObject(out, std::get<StringMap>(value));
}

void writeAll(int fd, const std::string& bytes) {
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

std::string serializeReply(const Reply& reply) {
    std::string out;
    appendObject(out, reply);
    return out;
}

void output(const Reply& reply) {
    // A reader that has gone away makes the write fail (SIGPIPE is ignored); the status stays 0.
    writeAll(STDOUT_FILENO, serializeReply(reply));
    _exit(0);
}
