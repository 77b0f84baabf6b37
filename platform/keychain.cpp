#include "platform/keychain.h"

#include "platform/keychain_plugin.h"
#include "platform/plugin.h"

namespace {

const KeychainFunctions* keychainFunctions() {
    using Entry = const KeychainFunctions* (*)();
    auto entry = reinterpret_cast<Entry>(bundledPluginSymbol(keychainPluginFile, keychainPluginEntry));
    return entry == nullptr ? nullptr : entry();
}

} // namespace

KeychainLookup keychainCopy(const KeychainItem& item, KeychainReturn wanted) {
    auto functions = keychainFunctions();
    return functions == nullptr ? KeychainLookup{} : functions->copy(item, wanted);
}

KeychainStatus keychainUpdate(const KeychainItem& item, std::string_view data) {
    auto functions = keychainFunctions();
    return functions == nullptr ? KeychainStatus::failure : functions->update(item, data);
}

KeychainStatus keychainAdd(const KeychainItem& item, std::string_view data) {
    auto functions = keychainFunctions();
    return functions == nullptr ? KeychainStatus::failure : functions->add(item, data);
}

KeychainStatus keychainDelete(const KeychainItem& item) {
    auto functions = keychainFunctions();
    return functions == nullptr ? KeychainStatus::failure : functions->remove(item);
}
