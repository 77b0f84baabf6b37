// Stands in for NSBundle: where the running program's bundle lies, where each of its parts stands in
// it, and the code it loads from its plugin folder. The main executable is in Contents/MacOS, the other
// programs in Contents/Resources/bin, plugins in Contents/Resources/lib, the runtimes in
// Contents/Resources/runtime and the application's own program in Contents/Resources/app.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The folder above Contents/MacOS for the main executable; an executable outside that layout stands in
// its own folder, as a program outside any bundle does on macOS.
std::string mainBundleRoot();

// Contents/Resources: the folder above the one that holds the running program, or the bundle's own for
// the main executable; nothing when the program's location cannot be had.
std::optional<std::string> resourcesFolder();

// The plugin of this file name in the resources' lib folder; empty when the folder is not known.
std::string bundledPluginPath(std::string_view fileName);

// The bundle's Node runtime and the application's entry script, below the bundle root.
std::string runtimePath(const std::string& root);
std::string entryScriptPath(const std::string& root);

// The parts that AppKit and the Security framework would map, loaded only by the operations that need
// them: the address of `symbol` in the bundled plugin of this file name; nullptr when either cannot be had.
void* bundledPluginSymbol(std::string_view fileName, const char* symbol);

// The function table that the plugin's entry point hands out; nullptr when the plugin or its entry point
// cannot be had.
template <typename Functions>
const Functions* bundledPluginFunctions(std::string_view fileName, const char* entry) {
    using Entry = const Functions* (*)();
    auto found = reinterpret_cast<Entry>(bundledPluginSymbol(fileName, entry));
    return found == nullptr ? nullptr : found();
}
