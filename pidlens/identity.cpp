#include "pidlens/pidlens.h"

#include <charconv>

namespace {

constexpr uint32_t lowestPid = 2;
constexpr uint32_t highestPid = 2147483647;

// The caller may only learn about its own processes, whichever of the two users it checks.
bool belongsTo(const ProcessRecord& record, uint32_t caller) {
    return record.uid == caller && record.realUid == caller;
}

bool usablePath(const char* path, size_t length) {
    return length >= 1 && length < executablePathCapacity && path[0] == '/';
}

// A change of parent, group or user, or an identifier taken over by a new process, shows up as a
// difference between two reads taken around the path.
bool sameInstance(const ProcessRecord& first, const ProcessRecord& second) {
    return first.pid == second.pid && first.parentPid == second.parentPid &&
           first.processGroupId == second.processGroupId && first.uid == second.uid &&
           first.realUid == second.realUid && first.startSeconds == second.startSeconds;
}

} // namespace

std::optional<uint32_t> parsePid(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9')
            return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < lowestPid || value > highestPid)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

void jsonString(const char* text, FILE* out) {
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

bool readPathAndSecond(const ProcessHandle& process, Identity& identity) {
    identity.pathLength = readExecutablePath(process, identity.path);
    return readProcessRecord(process, identity.second);
}

bool identityHolds(uint32_t pid, uint32_t caller, const Identity& identity) {
    const ProcessRecord& first = identity.first;
    const ProcessRecord& second = identity.second;
    return first.pid == pid && belongsTo(first, caller) && usablePath(identity.path, identity.pathLength) &&
           sameInstance(first, second) && second.startMicroseconds <= 999999 && first.startSeconds != 0 &&
           first.startMicroseconds == second.startMicroseconds;
}

bool confirmIdentity(const ProcessHandle& process, uint32_t caller, Identity& identity) {
    // Nothing more is read of a process that is not the caller's.
    if (identity.first.pid != process.pid || !belongsTo(identity.first, caller))
        return false;
    return readPathAndSecond(process, identity) && identityHolds(process.pid, caller, identity);
}

void writeIdentity(const Identity& identity, FILE* out) {
    const ProcessRecord& first = identity.first;
    std::fprintf(out,
                 "{\"schemaVersion\":1,\"pid\":%u,\"parentPid\":%u,\"processGroupId\":%u,\"uid\":%u,"
                 "\"startedAt\":\"%llu%06llu\",\"executable\":",
                 first.pid, first.parentPid, first.processGroupId, first.uid,
                 static_cast<unsigned long long>(first.startSeconds),
                 static_cast<unsigned long long>(first.startMicroseconds));
    jsonString(identity.path, out);
    std::fprintf(out, ",\"stopped\":%s}", identity.second.stopped ? "true" : "false");
}

namespace {

// Reads the identity of a process already open, so that what a caller checked through `process` just
// before belongs to the instance read. False, with nothing to write, when it cannot be established
// or the process is not wholly `caller`'s.
bool readIdentity(const ProcessHandle& process, uint32_t caller, Identity& identity) {
    return readProcessRecord(process, identity.first) && confirmIdentity(process, caller, identity);
}

} // namespace

int emitIdentity(uint32_t pid, FILE* out) {
    ProcessHandle process(pid);
    Identity identity;
    if (!readIdentity(process, callingUser(), identity))
        return statusNotEstablished;
    writeIdentity(identity, out);
    return std::ferror(out) ? statusOutputError : statusWritten;
}
