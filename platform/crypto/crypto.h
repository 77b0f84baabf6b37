// Stands in for CryptoKit SHA256 over NSData's mapped reading of a file, and for NSUUID's randomness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The SHA-256 of the first `size` bytes of the open file, as 64 lower-case hexadecimal digits; nothing
// when the file cannot be mapped.
std::optional<std::string> sha256HexOfFile(int fd, std::uint64_t size);

// Fills the bytes from the kernel's randomness; false when the system has none to give.
bool randomBytes(unsigned char* bytes, std::size_t size);

// A random (version 4) UUID as NSUUID's uuidString writes it: the standard 36-character text in upper
// case; empty when the system has no randomness to give.
std::string randomUuidText();
