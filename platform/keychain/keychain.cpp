#include "platform/keychain/keychain.h"

#include "platform/bundle/bundle.h"
#include "platform/keychain/plugin.h"

const KeychainFunctions* bundledKeychainFunctions() {
    return bundledPluginFunctions<KeychainFunctions>(keychainPluginFile, keychainPluginEntry);
}

KeychainLookup keychainCopy(const KeychainFunctions* keychain, const KeychainItem& item,
                            KeychainReturn wanted) {
    return keychain == nullptr ? KeychainLookup{} : keychain->copy(item, wanted);
}

KeychainStatus keychainWrite(const KeychainFunctions* keychain, const KeychainItem& item,
                             std::string_view data) {
    return keychain == nullptr ? KeychainStatus::failure : keychain->write(item, data);
}

KeychainStatus keychainDelete(const KeychainFunctions* keychain, const KeychainItem& item) {
    return keychain == nullptr ? KeychainStatus::failure : keychain->remove(item);
}
