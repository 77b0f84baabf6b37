// Stands in for the parts of the application bundle that AppKit and the Security framework would map:
// code loaded only by the operations that need it, from the bundle's plugin folder.
#pragma once

#include <string_view>

// Opens the bundled plugin of this file name and gives the address of `symbol` in it; nullptr when
// either cannot be had.
void* bundledPluginSymbol(std::string_view fileName, const char* symbol);

// The function table that the plugin's entry point hands out; nullptr when the plugin or its entry point
// cannot be had.
template <typename Functions>
const Functions* bundledPluginFunctions(std::string_view fileName, const char* entry) {
    using Entry = const Functions* (*)();
    auto found = reinterpret_cast<Entry>(bundledPluginSymbol(fileName, entry));
    return found == nullptr ? nullptr : found();
}
