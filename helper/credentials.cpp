// Credential records: one generic-password keychain item per account under `service`, whose data is
// the record's values as a JSON object of strings.
#include "helper/json_reader.h"
#include "helper/operations.h"

#include "platform/keychain/keychain.h"
#include "platform/text.h"

#include <optional>

namespace {

constexpr std::size_t storedFormLimit = 1'048'576;

bool isAccount(const std::string& account) {
    return account.size() == 64 && isLowerHex(account);
}

// The stored form read straight into wiped values: an object whose members, after a later duplicate has
// replaced an earlier one, are all strings.
std::optional<StringMap> storedValues(std::string_view storedForm) {
    StringMembers members(1);
    if (!readJson(storedForm, [&](JsonEvent event, std::size_t depth, WipedString& text) {
            if (depth == 0)
                return event == JsonEvent::objectStart || event == JsonEvent::end;
            members.take(event, depth, text);
            return true;
        }))
        return std::nullopt;
    return std::move(members).values();
}

// The stored form as the library writes it compactly, "/" left as it is, into a wiped buffer. The
// strings were checked as UTF-8 when the request was read, so nothing needs replacing.
WipedBuffer storedForm(const StringMap& values) {
    WipedBuffer out;
    appendStringObject(out, values, Solidus::kept);
    return out;
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
    auto values = storedValues(found.data);
    if (!values)
        return failureReply();
    return {{"ok", true}, {"values", std::move(*values)}};
}

Reply removeRecord(const KeychainFunctions* keychain, const KeychainItem& item) {
    return {{"ok", keychainDelete(keychain, item) != KeychainStatus::failure}};
}

Reply writeRecord(const KeychainFunctions* keychain, const KeychainItem& item, const Request& request) {
    if (!request.values || request.values->empty())
        return failureReply();
    WipedBuffer stored = storedForm(*request.values);
    return {{"ok", keychainWrite(keychain, item, stored) == KeychainStatus::success}};
}

// The record the request names; nothing when its account is not one.
std::optional<KeychainItem> recordOf(const Request& request) {
    auto account = stringMember(request.members, "account");
    if (!account || !isAccount(*account))
        return std::nullopt;
    return KeychainItem{std::string(service), *account};
}

} // namespace

Reply answerExists(const Request& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? answerLookup(plugins.keychain(), *item, false) : failureReply();
}

Reply answerRead(const Request& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? answerLookup(plugins.keychain(), *item, true) : failureReply();
}

Reply answerRemove(const Request& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? removeRecord(plugins.keychain(), *item) : failureReply();
}

Reply answerWrite(const Request& request, const HelperPlugins& plugins) {
    auto item = recordOf(request);
    return item ? writeRecord(plugins.keychain(), *item, request) : failureReply();
}
