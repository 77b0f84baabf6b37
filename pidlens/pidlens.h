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
constexpr int status_written = 0;
constexpr int status_bad_arguments = 2;
constexpr int status_not_established = 3; // identity not established, or it changed during the reads
constexpr int status_output_error = 4;

// A process identifier given on the command line: 1 to 10 decimal digits and nothing else, naming
// 2 to 2147483647. Leading zeros are allowed.
std::optional<uint32_t> parse_pid(std::string_view text);

// `text` as a JSON string literal: '"' and '\' escaped, bytes below 0x20 as \u00xx, every other byte
// (UTF-8 sequences included) as it is.
void json_string(const char* text, FILE* out);

// Writes the identity object of `pid`, without a line feed, or nothing at all. Returns
// status_written, status_not_established, or status_output_error when `out` is in error afterwards.
int emit_identity(uint32_t pid, FILE* out);

// What an identity object is made of: a first read that a second read, taken after the path, confirmed.
struct Identity {
    ProcessRecord first;
    char path[executablePathCapacity];
    ProcessRecord second;
};

// Completes the identity of a process already open once `identity.first` has been read through
// `process`, so that what a caller checked through it just before belongs to the instance read. False,
// with nothing to write, when it cannot be established or the process is not wholly `caller`'s.
bool confirm_identity(const ProcessHandle& process, uint32_t caller, Identity& identity);
void write_identity(const Identity& identity, FILE* out);

// Writes the array of the identity objects of `root` and all its descendants, breadth-first, and a
// line feed. Only status_written means a complete array; status_not_established may leave a partial
// one behind.
int emit_tree(uint32_t root, FILE* out);
