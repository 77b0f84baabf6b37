// Stands in for NSUUID: a random (version 4) UUID, from the kernel's randomness.
#pragma once

#include <cstddef>
#include <string>

// Fills the bytes from the kernel's randomness; false when the system has none to give.
bool randomBytes(unsigned char* bytes, std::size_t size);

// The standard 36-character text in upper case, as uuidString writes it; empty when the system has no
// randomness to give.
std::string randomUuidText();
