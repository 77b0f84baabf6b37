// Stands in for the macOS keychain item services (SecItemCopyMatching, SecItemUpdate, SecItemAdd,
// SecItemDelete) on generic-password items, over the Secret Service.
#pragma once

#include "platform/wiped.h"

#include <string>
#include <string_view>

enum class KeychainStatus { success, notFound, failure };

// The attributes that identify a generic-password item.
struct KeychainItem {
    std::string service;
    std::string account;
};

// The data is wiped when released: it is a record's values or a token.
struct KeychainLookup {
    KeychainStatus status = KeychainStatus::failure;
    WipedBuffer data;
};

// What a lookup brings back: only whether the item exists, or its data too. Asking for nothing spares
// the encrypted session that carrying a secret needs.
enum class KeychainReturn { nothing, data };

// The calls go through a given table, such as the bundled plugin's (`bundledKeychainFunctions()`); without
// one every call fails.
struct KeychainFunctions;

// The one item that matches, or notFound when none does.
KeychainLookup keychainCopy(const KeychainFunctions* keychain, const KeychainItem& item,
                            KeychainReturn wanted);
// Gives the matching items the data, or creates the item where there is none, in the default keychain.
// Success only once the data is read back; a write that does not take leaves the item as it was.
KeychainStatus keychainWrite(const KeychainFunctions* keychain, const KeychainItem& item,
                             std::string_view data);
// Deletes every matching item; notFound when there was none.
KeychainStatus keychainDelete(const KeychainFunctions* keychain, const KeychainItem& item);
