// Stands in for libproc: proc_pidinfo with PROC_PIDTBSDINFO, proc_pidpath, and proc_listpids with
// PROC_PPID_ONLY.
#pragma once

#include <cstddef>
#include <cstdint>

// What the kernel says of one process instance, all of it taken in one pass.
struct ProcessRecord {
    uint32_t pid = 0;
    uint32_t parentPid = 0;
    uint32_t processGroupId = 0;
    uint32_t uid = 0; // effective user
    uint32_t realUid = 0;
    uint64_t startSeconds = 0;      // since the epoch
    uint64_t startMicroseconds = 0; // below one second
    bool stopped = false;           // by a stop signal or by a tracer
    bool ended = false;             // exited, and not yet collected by its parent
    uint32_t threads = 0;
    char state = 0;              // the scheduler's letter: R running, S sleeping, D waiting on a disk...
    uint64_t processorTicks = 0; // user and system time used so far, in clock ticks
};

// An open /proc/<pid> directory, with its stat file, the process's pidfd where the kernel tells users
// through one (Linux 6.13 and later), and otherwise its status file once it is first read. Whatever is
// read through it belongs to the process instance that had the identifier when it was opened: once that
// process is gone the reads fail, even after a new process has taken the same number, so reads through
// one handle never mix two processes.
struct ProcessHandle {
    explicit ProcessHandle(uint32_t pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    uint32_t pid = 0;
    int directory = -1; // -1 when there was no such process to open
    int statFile = -1;
    int pidFile = -1; // -1 where the users come from the status file
    mutable int statusFile = -1;
};

// Fills `record` (cleared first) from what the kernel says at this moment; each call reads afresh. False when
// it cannot be read, or when the identifier is a thread of some process but not its main thread: that
// identifier does not name a process.
bool readProcessRecord(const ProcessHandle& process, ProcessRecord& record);
// The same from the stat file alone, for a check that needs no users: `uid` and `realUid` stay 0, and
// the identifier is not checked for being a thread's (an identifier from a list of children never is).
bool readProcessStat(const ProcessHandle& process, ProcessRecord& record);
// Adds the users (from the pidfd, or the status file) to a record that readProcessStat filled through the
// same handle, which makes it what readProcessRecord gives. False, with the record cleared, when they cannot
// be read or the identifier is a thread's that is not the main one.
bool readProcessUsers(const ProcessHandle& process, ProcessRecord& record);

constexpr size_t executablePathCapacity = 4096;

// Clears `path`, then writes the absolute path of the process's executable into it, without a
// terminating NUL, and returns its length; 0 when it cannot be read. A length equal to the capacity
// means the path may have been cut short.
size_t readExecutablePath(const ProcessHandle& process, char (&path)[executablePathCapacity]);

constexpr size_t childListCapacity = 256;

struct ChildList {
    uint32_t ids[childListCapacity] = {};
    size_t count = 0;
};

// The identifiers of the process's children, in the kernel's order. False when they cannot be listed
// for certain, or when there are more than the list holds.
bool listChildren(uint32_t pid, ChildList& children);
// The same for a process already open, given the number of threads it had when it was last read: one
// thread has one list to read, several may hand children to each other while they are read.
bool listChildren(const ProcessHandle& process, uint32_t threads, ChildList& children);

// The same answer found by reading every process's parent: the way for kernels that do not offer the
// per-thread children lists, and much slower.
bool listChildrenByScan(uint32_t pid, ChildList& children);

// Whether no process has this identifier any more; a zombie that is not yet collected still has it.
bool processHasEnded(uint32_t pid);

// The real user of the running program.
uint32_t callingUser();
