// The entry point of the keychain plugin, shared by its loader (keychain.cpp) and the plugin (items.cpp).
// GLib's D-Bus client costs several milliseconds to load, so only the operations that reach the keychain
// load it.
#pragma once

#include "platform/keychain/keychain.h"

struct KeychainFunctions {
    KeychainLookup (*copy)(const KeychainItem&, KeychainReturn);
    KeychainStatus (*write)(const KeychainItem&, std::string_view);
    KeychainStatus (*remove)(const KeychainItem&);
};

inline constexpr const char* keychainPluginFile = "dovrel-keychain.so";
inline constexpr const char* keychainPluginEntry = "dovrelKeychainFunctions";

extern "C" const KeychainFunctions* dovrelKeychainFunctions();

// The bundled plugin's table; nullptr when it cannot be loaded.
const KeychainFunctions* bundledKeychainFunctions();
