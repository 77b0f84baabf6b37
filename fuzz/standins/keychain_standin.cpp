// An in-memory keychain with the same calls, so the helper's frame can be fuzzed in process.
#include "fuzz/standins/standins.h"

#include <map>

namespace {

std::map<std::string, std::string>& items() {
    static std::map<std::string, std::string> stored;
    return stored;
}

std::string keyOf(const KeychainItem& item) {
    return item.service + '\n' + item.account;
}

// Records that every run starts with: a corrupt and an oversized stored form, which reads must refuse.
const std::string* presetData(const KeychainItem& item) {
    static const std::string corrupt = R"({"a":1})";
    static const std::string oversized(1'048'577, ' ');
    if (item.account == std::string(64, 'c'))
        return &corrupt;
    if (item.account == std::string(64, 'd'))
        return &oversized;
    return nullptr;
}

KeychainLookup copy(const KeychainItem& item, KeychainReturn wanted) {
    if (auto preset = presetData(item); preset != nullptr && !items().contains(keyOf(item)))
        return {KeychainStatus::success, wanted == KeychainReturn::data ? *preset : std::string()};
    auto found = items().find(keyOf(item));
    if (found == items().end())
        return {KeychainStatus::notFound, {}};
    return {KeychainStatus::success, wanted == KeychainReturn::data ? found->second : std::string()};
}

KeychainStatus write(const KeychainItem& item, std::string_view data) {
    items()[keyOf(item)] = data;
    return KeychainStatus::success;
}

KeychainStatus remove(const KeychainItem& item) {
    return items().erase(keyOf(item)) == 1 ? KeychainStatus::success : KeychainStatus::notFound;
}

constexpr KeychainFunctions functions{copy, write, remove};

} // namespace

void resetStandins() {
    items().clear();
}

const KeychainFunctions* keychainStandin() {
    return &functions;
}
