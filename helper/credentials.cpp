// Credential records: one generic-password keychain item per account under `service`, whose data is
// the record's values as a JSON object of strings.
#include "helper/operations.h"

#include "platform/keychain.h"
#include "platform/text.h"

#include <algorithm>

namespace {

constexpr std::size_t storedFormLimit = 1'048'576;

bool isAccount(const std::string& account) {
    return account.size() == 64 && isLowerHex(account);
}

std::optional<StringMap> stringMap(const Json& object) {
    if (!object.is_object())
        return std::nullopt;
    StringMap values;
    for (const auto& [name, value] : object.items()) {
        if (!value.is_string())
            return std::nullopt;
        values.emplace(name, value.get<std::string>());
    }
    return values;
}

// The same test as stringMap without the copy, which for a large record would double what "write"
// holds in memory.
bool holdsOnlyStrings(const Json& object) {
    return object.is_object() &&
           std::all_of(object.begin(), object.end(), [](const Json& value) { return value.is_string(); });
}

Reply answerLookup(const KeychainFunctions* keychain, const KeychainItem& item, bool wantsValues) {
    auto found = keychainCopy(keychain, item, wantsValues ? KeychainReturn::data : KeychainReturn::nothing);
    if (!wantsValues) {
        if (found.status == KeychainStatus::failure)
            return failureReply();
        return {{"exists", found.status == KeychainStatus::success}, {"ok", true}};
    }
    if (found.status != KeychainStatus::success || found.data.size() > storedFormLimit)
        return failureReply();
    auto stored = parseJson(found.data);
    auto values = stored ? stringMap(*stored) : std::nullopt;
    if (!values)
        return failureReply();
    return {{"ok", true}, {"values", std::move(*values)}};
}

Reply removeRecord(const KeychainFunctions* keychain, const KeychainItem& item) {
    return {{"ok", keychainDelete(keychain, item) != KeychainStatus::failure}};
}

Reply writeRecord(const KeychainFunctions* keychain, const KeychainItem& item, const Json& request) {
    auto member = request.find("values");
    if (member == request.end() || !holdsOnlyStrings(*member) || member->empty())
        return failureReply();
    // The strings were checked as UTF-8 when the request was parsed, so dumping cannot fail.
    std::string storedForm = member->dump(-1, ' ', false, Json::error_handler_t::replace);
    auto updated = keychainUpdate(keychain, item, storedForm);
    if (updated == KeychainStatus::notFound)
        return {{"ok", keychainAdd(keychain, item, storedForm) == KeychainStatus::success}};
    return {{"ok", updated == KeychainStatus::success}};
}

// The record the request names; nothing when its account is not one.
std::optional<KeychainItem> recordOf(const Json& request) {
    auto account = stringMember(request, "account");
    if (!account || !isAccount(*account))
        return std::nullopt;
    return KeychainItem{std::string(service), *account};
}

} // namespace

Reply answerExists(const Json& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? answerLookup(plugins.keychain(), *item, false) : failureReply();
}

Reply answerRead(const Json& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? answerLookup(plugins.keychain(), *item, true) : failureReply();
}

Reply answerRemove(const Json& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? removeRecord(plugins.keychain(), *item) : failureReply();
}

Reply answerWrite(const Json& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? writeRecord(plugins.keychain(), *item, request) : failureReply();
}
