// Credential records: one generic-password keychain item per account under `service`, whose data is
// the record's values as a JSON object of strings.
#include "helper/operations.h"

#include "platform/keychain.h"

#include <algorithm>

namespace {

constexpr std::size_t storedFormLimit = 1'048'576;

bool isAccount(const std::string& account) {
    return account.size() == 64 && std::all_of(account.begin(), account.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
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

Reply answerLookup(const KeychainItem& item, bool wantsValues) {
    auto found = keychainCopy(item, wantsValues ? KeychainReturn::data : KeychainReturn::nothing);
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

Reply answerRemove(const KeychainItem& item) {
    return {{"ok", keychainDelete(item) != KeychainStatus::failure}};
}

Reply answerWrite(const KeychainItem& item, const Json& request) {
    auto member = request.find("values");
    if (member == request.end() || !holdsOnlyStrings(*member) || member->empty())
        return failureReply();
    // The strings were checked as UTF-8 when the request was parsed, so dumping cannot fail.
    std::string storedForm = member->dump(-1, ' ', false, Json::error_handler_t::replace);
    auto updated = keychainUpdate(item, storedForm);
    if (updated == KeychainStatus::notFound)
        return {{"ok", keychainAdd(item, storedForm) == KeychainStatus::success}};
    return {{"ok", updated == KeychainStatus::success}};
}

} // namespace

Reply answerCredentialRequest(const Json& request, const std::string& operation) {
    auto account = stringMember(request, "account");
    if (!account || !isAccount(*account))
        return failureReply();
    KeychainItem item{std::string(service), *account};
    if (operation == "exists" || operation == "read")
        return answerLookup(item, operation == "read");
    if (operation == "remove")
        return answerRemove(item);
    if (operation == "write")
        return answerWrite(item, request);
    return failureReply();
}
