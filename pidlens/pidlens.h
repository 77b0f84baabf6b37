// pidlens: tells who a process is (parent, group, user, start time, executable, stopped or not), alone
// or with all its descendants, as one line of JSON, so that a process can be told from an unrelated
// one that later takes the same identifier.
#pragma once

#include "platform/process/process.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

// Exit statuses.
constexpr int statusWritten = 0;
constexpr int statusBadArguments = 2;
constexpr int statusNotEstablished = 3; // identity not established, or it changed during the reads
constexpr int statusOutputError = 4;

// A process identifier given on the command line: 1 to 10 decimal digits and nothing else, naming
// 2 to 2147483647. Leading zeros are allowed.
std::optional<uint32_t> parsePid(std::string_view text);

// `text` as a JSON string literal: '"' and '\' escaped, bytes below 0x20 as \u00xx, every other byte
// (UTF-8 sequences included) as it is.
void jsonString(const char* text, FILE* out);

// Writes the identity object of `pid`, without a line feed, or nothing at all. Returns
// statusWritten, statusNotEstablished, or statusOutputError when `out` is in error afterwards.
int emitIdentity(uint32_t pid, FILE* out);

// What an identity object is made of: a first read that a second read, taken after the path, confirmed.
struct Identity {
    ProcessRecord first;
    char path[executablePathCapacity];
    size_t pathLength = 0; // 0 when the path could not be read
    ProcessRecord second;
};

// Completes the identity of a process already open once `identity.first` has been read through
// `process`, so that what a caller checked through it just before belongs to the instance read. False,
// with nothing to write, when it cannot be established or the process is not wholly `caller`'s.
bool confirmIdentity(const ProcessHandle& process, uint32_t caller, Identity& identity);
void writeIdentity(const Identity& identity, FILE* out);

// The two steps of confirmIdentity, for a caller that acts between them: the reads that follow the
// first (the path, then the second record; false when the second cannot be read), and whether what
// the three reads found is one identity of process `pid`, wholly `caller`'s (nothing more is read).
bool readPathAndSecond(const ProcessHandle& process, Identity& identity);
bool identityHolds(uint32_t pid, uint32_t caller, const Identity& identity);

// Writes the array of the identity objects of `root` and all its descendants, breadth-first, and a
// line feed. Only statusWritten means a complete array; statusNotEstablished may leave a partial
// one behind.
int emitTree(uint32_t root, FILE* out);
