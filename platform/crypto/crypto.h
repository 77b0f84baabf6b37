// Stands in for CryptoKit SHA256 over NSData's mapped reading of a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The SHA-256 of the first `size` bytes of the open file, as 64 lower-case hexadecimal digits; nothing
// when the file cannot be mapped.
std::optional<std::string> sha256HexOfFile(int fd, std::uint64_t size);

std::string sha256Hex(std::string_view bytes);
