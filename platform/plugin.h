// Stands in for the parts of the application bundle that AppKit and the Security framework would map:
// code loaded only by the operations that need it, from the bundle's lib folder.
#pragma once

#include <string_view>

// Opens lib/<fileName> in the folder above the one that holds the running executable's real location,
// and gives the address of `symbol` in it; nullptr when either cannot be had.
void* bundledPluginSymbol(std::string_view fileName, const char* symbol);
