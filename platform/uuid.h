// Stands in for NSUUID: a random (version 4) UUID.
#pragma once

#include <string>

// The standard 36-character text in upper case, as uuidString writes it; empty when the system has no
// randomness to give.
std::string randomUuidText();
