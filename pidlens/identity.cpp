#include "pidlens/pidlens.h"

#include <charconv>

namespace {

constexpr uint32_t lowest_pid = 2;
constexpr uint32_t highest_pid = 2147483647;

// The caller may only learn about its own processes, whichever of the two users it checks.
bool belongs_to(const ProcessRecord& record, uint32_t caller) {
    return record.uid == caller && record.realUid == caller;
}

bool usable_path(const char* path, size_t length) {
    return length >= 1 && length < executablePathCapacity && path[0] == '/';
}

// A change of parent, group or user, or an identifier taken over by a new process, shows up as a
// difference between two reads taken around the path.
bool same_instance(const ProcessRecord& first, const ProcessRecord& second) {
    return first.pid == second.pid && first.parentPid == second.parentPid &&
           first.processGroupId == second.processGroupId && first.uid == second.uid &&
           first.realUid == second.realUid && first.startSeconds == second.startSeconds;
}

} // namespace

std::optional<uint32_t> parse_pid(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9')
            return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < lowest_pid || value > highest_pid)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

void json_string(const char* text, FILE* out) {
    std::putc('"', out);
    for (auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
        if (*byte == '"' || *byte == '\\') {
            std::putc('\\', out);
            std::putc(*byte, out);
        } else if (*byte < 0x20) {
            std::fprintf(out, "\\u%04x", *byte);
        } else {
            std::putc(*byte, out);
        }
    }
    std::putc('"', out);
}

bool confirm_identity(const ProcessHandle& process, uint32_t caller, Identity& identity) {
    const ProcessRecord& first = identity.first;
    if (first.pid != process.pid || !belongs_to(first, caller))
        return false;
    if (!usable_path(identity.path, readExecutablePath(process, identity.path)))
        return false;
    ProcessRecord& second = identity.second;
    if (!readProcessRecord(process, second) || !same_instance(first, second))
        return false;
    return second.startMicroseconds <= 999999 && first.startSeconds != 0 &&
           first.startMicroseconds == second.startMicroseconds;
}

void write_identity(const Identity& identity, FILE* out) {
    const ProcessRecord& first = identity.first;
    std::fprintf(out,
                 "{\"schemaVersion\":1,\"pid\":%u,\"parentPid\":%u,\"processGroupId\":%u,\"uid\":%u,"
                 "\"startedAt\":\"%llu%06llu\",\"executable\":",
                 first.pid, first.parentPid, first.processGroupId, first.uid,
                 static_cast<unsigned long long>(first.startSeconds),
                 static_cast<unsigned long long>(first.startMicroseconds));
    json_string(identity.path, out);
    std::fprintf(out, ",\"stopped\":%s}", identity.second.stopped ? "true" : "false");
}

namespace {

// Reads the identity of a process already open, so that what a caller checked through `process` just
// before belongs to the instance read. False, with nothing to write, when it cannot be established
// or the process is not wholly `caller`'s.
bool read_identity(const ProcessHandle& process, uint32_t caller, Identity& identity) {
    return readProcessRecord(process, identity.first) && confirm_identity(process, caller, identity);
}

} // namespace

int emit_identity(uint32_t pid, FILE* out) {
    ProcessHandle process(pid);
    Identity identity;
    if (!read_identity(process, callingUser(), identity))
        return status_not_established;
    write_identity(identity, out);
    return std::ferror(out) ? status_output_error : status_written;
}
