#include "platform/process/process.h"

#include "platform/descriptor.h"
#include "platform/interrupted.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

// Everything here works in fixed buffers: no allocation on the way from /proc to the record.

namespace {

constexpr int readFlags = O_RDONLY | O_CLOEXEC;
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Room for a decimal identifier and a NUL.
using IdentifierText = char[16];

const char* identifierText(uint32_t id, IdentifierText& text) {
    *std::to_chars(text, text + sizeof text - 1, id).ptr = '\0';
    return text;
}

template <typename Number> bool parseNumber(std::string_view text, Number& value) {
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

int openProcessDirectory(uint32_t pid) {
    char path[32] = "/proc/";
    IdentifierText text;
    std::strcat(path, identifierText(pid, text));
    return open(path, directoryFlags);
}

// The first bytes of an open /proc file, up to the buffer's size. The kernel builds such a file whole
// on each read from offset 0 and hands over as much as fits, so one read gives a fresh head; the
// parsers refuse a field that the buffer's end cut short.
std::optional<std::string_view> readHead(int file, char* buffer, size_t capacity) {
    if (file < 0)
        return std::nullopt;
    ssize_t count = retryingInterrupted([&] { return pread(file, buffer, capacity, 0); });
    if (count < 0)
        return std::nullopt;
    return std::string_view(buffer, static_cast<size_t>(count));
}

std::string_view nextField(std::string_view& rest) {
    size_t space = rest.find(' ');
    std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return field;
}

struct StatFields {
    char state = 0;
    uint32_t parentPid = 0;
    uint32_t processGroupId = 0;
    uint32_t threads = 0;
    uint64_t processorTicks = 0;
    uint64_t startTicks = 0;
};

// "pid (name) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime cutime
// cstime priority nice num_threads itrealvalue starttime ...". The name may hold spaces and parentheses of
// its own, so the fields are counted from the last ')'.
std::optional<StatFields> parseStat(std::string_view text, uint32_t pid) {
    uint32_t leading = 0;
    size_t nameStart = text.find(" (");
    size_t nameEnd = text.rfind(')');
    if (nameStart == std::string_view::npos || nameEnd == std::string_view::npos || nameEnd < nameStart)
        return std::nullopt;
    if (!parseNumber(text.substr(0, nameStart), leading) || leading != pid)
        return std::nullopt;
    if (text.substr(nameEnd, 2) != ") ")
        return std::nullopt;
    std::string_view rest = text.substr(nameEnd + 2);
    StatFields fields;
    std::string_view state = nextField(rest);
    if (state.size() != 1 || !parseNumber(nextField(rest), fields.parentPid) ||
        !parseNumber(nextField(rest), fields.processGroupId))
        return std::nullopt;
    fields.state = state[0];
    for (int skipped = 0; skipped < 8; ++skipped)
        nextField(rest);
    uint64_t user = 0, system = 0;
    if (!parseNumber(nextField(rest), user) || !parseNumber(nextField(rest), system))
        return std::nullopt;
    fields.processorTicks = user + system;
    for (int skipped = 0; skipped < 4; ++skipped)
        nextField(rest);
    if (!parseNumber(nextField(rest), fields.threads))
        return std::nullopt;
    nextField(rest);
    // The start field must be followed by another, or it may have been cut off by the buffer's end.
    if (!parseNumber(nextField(rest), fields.startTicks) || rest.empty())
        return std::nullopt;
    return fields;
}

// The value after "\n<key>\t" up to the next tab or line feed; the line must be complete.
std::optional<std::string_view> statusLine(std::string_view text, std::string_view key) {
    size_t at = text.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = text.substr(at + key.size());
    size_t end = rest.find('\n');
    if (end == std::string_view::npos)
        return std::nullopt;
    return rest.substr(0, end);
}

struct StatusFields {
    uint32_t threadGroup = 0;
    uint32_t realUid = 0;
    uint32_t uid = 0;
};

// The lines wanted ("Tgid", "Uid": real, effective, saved, file system) come before the long ones
// (groups, masks), so the head of the file is enough.
std::optional<StatusFields> parseStatus(std::string_view text) {
    auto threadGroup = statusLine(text, "\nTgid:\t");
    auto uids = statusLine(text, "\nUid:\t");
    if (!threadGroup || !uids)
        return std::nullopt;
    StatusFields fields;
    std::string_view rest = *uids;
    size_t tab = rest.find('\t');
    if (tab == std::string_view::npos || !parseNumber(*threadGroup, fields.threadGroup) ||
        !parseNumber(rest.substr(0, tab), fields.realUid))
        return std::nullopt;
    rest = rest.substr(tab + 1);
    if (!parseNumber(rest.substr(0, rest.find('\t')), fields.uid))
        return std::nullopt;
    return fields;
}

// What PIDFD_GET_INFO (Linux 6.13) fills, in its first published form: the kernel answers a caller of
// any form with the fields that caller knows. The C library's kernel headers may predate it.
struct PidfdInfo {
    uint64_t mask = 0;
    uint64_t cgroupId = 0;
    uint32_t pid = 0;
    uint32_t threadGroup = 0;
    uint32_t parentPid = 0;
    uint32_t realUid = 0;
    uint32_t realGid = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t savedUid = 0;
    uint32_t savedGid = 0;
    uint32_t fileSystemUid = 0;
    uint32_t fileSystemGid = 0;
    uint32_t spare = 0;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr unsigned long pidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr uint64_t pidfdInfoCredentials = 1 << 1;

// The users and thread group as the status file tells them, without the cost of the status file: the
// kernel builds that whole file, signal masks and processor lists included, for every read.
std::optional<StatusFields> usersThroughPidfd(int pidFile) {
    PidfdInfo info{.mask = pidfdInfoCredentials};
    if (pidFile < 0 || ioctl(pidFile, pidfdGetInfo, &info) != 0 || (info.mask & pidfdInfoCredentials) == 0)
        return std::nullopt;
    return StatusFields{info.threadGroup, info.realUid, info.uid};
}

std::optional<StatusFields> usersFromStatus(const ProcessHandle& process) {
    if (process.statusFile < 0 && process.directory >= 0)
        process.statusFile = openat(process.directory, "status", readFlags);
    char statusText[1024];
    auto statusHead = readHead(process.statusFile, statusText, sizeof statusText);
    return statusHead ? parseStatus(*statusHead) : std::nullopt;
}

// Asked once per run, as the answer is the kernel's: without PIDFD_GET_INFO a pidfd would only cost
// its opening and a descriptor.
bool pidfdTellsUsers() {
    static const bool tells = [] {
        OwnedDescriptor self(pidfd_open(getpid(), 0));
        return usersThroughPidfd(self.get()).has_value();
    }();
    return tells;
}

// /proc/stat holds a line per processor and an interrupt line that runs to many kilobytes on large
// machines, so it is scanned in pieces for "btime".
std::optional<uint64_t> readBootTime() {
    OwnedDescriptor file(open("/proc/stat", readFlags));
    if (file.get() < 0)
        return std::nullopt;
    constexpr std::string_view key = "\nbtime ";
    size_t matched = 1; // the start of the file is the start of a line
    uint64_t value = 0;
    int digits = 0;
    char buffer[4096];
    for (;;) {
        ssize_t count = retryingInterrupted([&] { return read(file.get(), buffer, sizeof buffer); });
        if (count <= 0)
            return digits > 0 ? std::optional(value) : std::nullopt;
        for (char c : std::string_view(buffer, static_cast<size_t>(count))) {
            if (matched < key.size()) {
                matched = c == key[matched] ? matched + 1 : (c == '\n' ? 1 : 0);
                continue;
            }
            if (c < '0' || c > '9' || digits == 18)
                return digits > 0 && c == '\n' ? std::optional(value) : std::nullopt;
            value = value * 10 + static_cast<uint64_t>(c - '0');
            ++digits;
        }
    }
}

// btime is recomputed on every read of /proc/stat and moves when the wall clock is stepped: one value
// per run keeps every start time of the run on the same scale.
std::optional<uint64_t> bootTime() {
    static const std::optional<uint64_t> once = readBootTime();
    return once;
}

// The kernel counts a start in clock ticks since boot.
bool setStartTime(uint64_t ticks, ProcessRecord& record) {
    auto boot = bootTime();
    long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (!boot || ticksPerSecond <= 0)
        return false;
    auto hertz = static_cast<uint64_t>(ticksPerSecond);
    record.startSeconds = *boot + ticks / hertz;
    record.startMicroseconds = ticks % hertz * 1'000'000 / hertz;
    return true;
}

bool isIdentifier(const char* name) {
    uint32_t value = 0;
    return parseNumber(std::string_view(name), value) && value > 0;
}

bool appendChild(uint64_t id, ChildList& children) {
    if (id == 0 || id > UINT32_MAX || children.count == childListCapacity)
        return false;
    children.ids[children.count++] = static_cast<uint32_t>(id);
    return true;
}

// Appends the identifiers of a space-separated list, read in pieces. The kernel fills each read of such
// a list with whole entries until the next would not fit in a page, so a read that leaves room for
// more than one more entry was the last, and the read that would only confirm the end is spared.
bool appendIdentifiers(int fd, ChildList& children) {
    char buffer[4096];
    constexpr ssize_t longestEntry = 16;
    uint64_t value = 0;
    bool inNumber = false;
    for (;;) {
        ssize_t count = retryingInterrupted([&] { return read(fd, buffer, sizeof buffer); });
        if (count < 0)
            return false;
        if (count == 0)
            return !inNumber || appendChild(value, children);
        for (char c : std::string_view(buffer, static_cast<size_t>(count))) {
            if (c >= '0' && c <= '9') {
                value = value * 10 + static_cast<uint64_t>(c - '0');
                if (value > UINT32_MAX)
                    return false;
                inNumber = true;
            } else if (c == ' ' || c == '\n') {
                if (inNumber && !appendChild(value, children))
                    return false;
                value = 0;
                inNumber = false;
            } else {
                return false;
            }
        }
        if (count < static_cast<ssize_t>(sizeof buffer) - longestEntry)
            return !inNumber || appendChild(value, children);
    }
}

// Calls `visit` with every numeric entry of an open directory; false when the directory cannot be
// read or `visit` says stop.
template <typename Visit> bool forEachNumericEntry(int directory, Visit visit) {
    alignas(dirent64) char entries[8192];
    for (;;) {
        ssize_t size = retryingInterrupted([&] { return getdents64(directory, entries, sizeof entries); });
        if (size < 0)
            return false;
        if (size == 0)
            return true;
        for (ssize_t offset = 0; offset < size;) {
            auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
            offset += entry->d_reclen;
            if (isIdentifier(entry->d_name) && !visit(entry->d_name))
                return false;
        }
    }
}

enum class PassOutcome { listed, unsettled, unsupported, failed };

struct Pass {
    PassOutcome outcome = PassOutcome::failed;
    size_t threads = 0;
};

// One reading of task/<tid>/children for every thread: a child belongs to the thread that started it.
Pass listChildrenOnce(int process, ChildList& children) {
    children.count = 0;
    OwnedDescriptor tasks(openat(process, "task", directoryFlags));
    if (tasks.get() < 0)
        return {};
    Pass pass{PassOutcome::listed, 0};
    bool complete = forEachNumericEntry(tasks.get(), [&](const char* thread) {
        ++pass.threads;
        char path[32];
        std::strcpy(path, thread);
        std::strcat(path, "/children");
        OwnedDescriptor list(openat(tasks.get(), path, readFlags));
        if (list.get() < 0) {
            // Without CONFIG_PROC_CHILDREN the thread is there but its list is not.
            bool threadThere = errno == ENOENT && faccessat(tasks.get(), thread, F_OK, 0) == 0;
            pass.outcome = threadThere ? PassOutcome::unsupported : PassOutcome::unsettled;
            return false;
        }
        if (!appendIdentifiers(list.get(), children)) {
            pass.outcome = PassOutcome::failed;
            return false;
        }
        return true;
    });
    if (!complete && pass.outcome == PassOutcome::listed)
        pass.outcome = PassOutcome::failed;
    return pass;
}

bool sameChildren(const ChildList& a, const ChildList& b) {
    return a.count == b.count && std::equal(a.ids, a.ids + a.count, b.ids);
}

} // namespace

ProcessHandle::ProcessHandle(uint32_t id) : pid(id) {
    directory = openProcessDirectory(id);
    if (directory < 0)
        return;
    // Opened after the directory: a read through the directory that succeeds later shows the process
    // lived on past this opening, so both name the one instance. A thread other than the main one gets
    // none, and the status file's thread group then tells it apart.
    if (pidfdTellsUsers())
        pidFile = pidfd_open(static_cast<pid_t>(id), 0);
    statFile = openat(directory, "stat", readFlags);
}

ProcessHandle::~ProcessHandle() {
    for (int fd : {pidFile, statusFile, statFile, directory})
        if (fd >= 0)
            close(fd);
}

bool readProcessStat(const ProcessHandle& process, ProcessRecord& record) {
    record = {};
    char statText[2048];
    auto statHead = readHead(process.statFile, statText, sizeof statText);
    auto stat = statHead ? parseStat(*statHead, process.pid) : std::nullopt;
    if (!stat || !setStartTime(stat->startTicks, record))
        return false;
    record.pid = process.pid;
    record.parentPid = stat->parentPid;
    record.processGroupId = stat->processGroupId;
    record.threads = stat->threads;
    record.state = stat->state;
    record.processorTicks = stat->processorTicks;
    // T: stopped by a signal; t: held by a tracer. Z and X: exited, waiting to be collected.
    record.stopped = stat->state == 'T' || stat->state == 't';
    record.ended = stat->state == 'Z' || stat->state == 'X';
    return true;
}

bool readProcessUsers(const ProcessHandle& process, ProcessRecord& record) {
    // Whatever the pidfd cannot tell (another namespace's process, a kernel or a sandbox that refuses
    // the request), the status file decides.
    auto users = usersThroughPidfd(process.pidFile);
    if (!users)
        users = usersFromStatus(process);
    // /proc/<tid> answers for any thread, but only the main thread's identifier names the process.
    if (!users || users->threadGroup != process.pid) {
        record = {};
        return false;
    }
    record.uid = users->uid;
    record.realUid = users->realUid;
    return true;
}

bool readProcessRecord(const ProcessHandle& process, ProcessRecord& record) {
    return readProcessStat(process, record) && readProcessUsers(process, record);
}

size_t readExecutablePath(const ProcessHandle& process, char (&path)[executablePathCapacity]) {
    std::memset(path, 0, sizeof path);
    if (process.directory < 0)
        return 0;
    ssize_t length = readlinkat(process.directory, "exe", path, sizeof path);
    return length > 0 ? static_cast<size_t>(length) : 0;
}

bool listChildren(uint32_t pid, ChildList& children) {
    ProcessHandle process(pid);
    return listChildren(process, 0, children);
}

bool listChildren(const ProcessHandle& process, uint32_t threads, ChildList& children) {
    children.count = 0;
    if (process.directory < 0)
        return false;
    if (threads == 1) {
        char path[48] = "task/";
        IdentifierText text;
        std::strcat(path, identifierText(process.pid, text));
        std::strcat(path, "/children");
        OwnedDescriptor list(openat(process.directory, path, readFlags));
        if (list.get() >= 0)
            return appendIdentifiers(list.get(), children);
        // Otherwise a thread came or went, or the kernel has no such lists: the general way tells.
    }
    // A thread that ends hands its children to another thread of the process. If that happens while
    // the lists are read one by one, a child can be missed, so with several threads two readings in
    // a row must agree.
    constexpr int passes = 4;
    ChildList previous;
    bool havePrevious = false;
    for (int attempt = 0; attempt < passes; ++attempt) {
        Pass pass = listChildrenOnce(process.directory, children);
        if (pass.outcome == PassOutcome::unsupported)
            return listChildrenByScan(process.pid, children);
        if (pass.outcome == PassOutcome::failed)
            return false;
        if (pass.outcome == PassOutcome::unsettled) {
            havePrevious = false;
            continue;
        }
        if (pass.threads == 1 || (havePrevious && sameChildren(previous, children)))
            return true;
        previous = children;
        havePrevious = true;
    }
    return false;
}

bool listChildrenByScan(uint32_t pid, ChildList& children) {
    children.count = 0;
    OwnedDescriptor all(open("/proc", directoryFlags));
    if (all.get() < 0)
        return false;
    bool fits = true;
    bool complete = forEachNumericEntry(all.get(), [&](const char* name) {
        char path[32];
        std::strcpy(path, name);
        std::strcat(path, "/stat");
        char text[2048];
        uint32_t id = 0;
        OwnedDescriptor file(openat(all.get(), path, readFlags));
        auto head = readHead(file.get(), text, sizeof text);
        // A process that ends during the scan is simply not a child any more.
        if (!head || !parseNumber(std::string_view(name), id))
            return true;
        auto stat = parseStat(*head, id);
        if (!stat || stat->parentPid != pid)
            return true;
        fits = appendChild(id, children);
        return fits;
    });
    return complete && fits;
}

bool processHasEnded(uint32_t pid) {
    // Only "no such process" counts: a process that merely may not be signalled exists.
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

uint32_t callingUser() {
    return getuid();
}
