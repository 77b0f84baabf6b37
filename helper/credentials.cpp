// Credential records: one generic-password keychain item per account under `service`, whose data is
// the record's values as a JSON object of strings.
#include "helper/operations.h"

#include "platform/keychain.h"
#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

namespace {

constexpr std::size_t storedFormLimit = 1'048'576;

bool isAccount(const std::string& account) {
    return account.size() == 64 && isLowerHex(account);
}

// The library's parser with every string it holds, its token buffer included, wiped when released.
using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
using StoredJson = nlohmann::basic_json<std::map, std::vector, WipedString>;

// Reads the stored form as the library's events straight into wiped values, so no ordinary string ever
// holds a record value. It accepts what the whole tree would: an object whose members, after a later
// duplicate has replaced an earlier one, are all strings.
class StoredFormReader : public nlohmann::json_sax<StoredJson> {
public:
    std::map<std::string, std::optional<WipedBuffer>> members; // nullopt: a member that is not a string

    bool null() override { return scalar(std::nullopt); }
    bool boolean(bool) override { return scalar(std::nullopt); }
    bool number_integer(number_integer_t) override { return scalar(std::nullopt); }
    bool number_unsigned(number_unsigned_t) override { return scalar(std::nullopt); }
    bool number_float(number_float_t, const string_t&) override { return scalar(std::nullopt); }
    bool binary(binary_t&) override { return scalar(std::nullopt); }
    bool string(string_t& text) override { return scalar(WipedBuffer(text)); }

    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override {
        if (depth == 1)
            memberName.assign(name.data(), name.size());
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    std::size_t depth = 0;
    std::string memberName;

    bool scalar(std::optional<WipedBuffer> value) {
        if (depth == 0)
            return false;
        if (depth == 1)
            members.insert_or_assign(memberName, std::move(value));
        return true;
    }

    bool open(bool isObject) {
        if (depth == 0 && !isObject)
            return false;
        if (depth == 1)
            members.insert_or_assign(memberName, std::nullopt);
        ++depth;
        return true;
    }

    bool close() {
        --depth;
        return true;
    }
};

std::optional<StringMap> storedValues(std::string_view storedForm) {
    // The library's reader takes a raw NUL for the end of its input and would accept what came before.
    if (std::memchr(storedForm.data(), '\0', storedForm.size()) != nullptr)
        return std::nullopt;
    StoredFormReader reader;
    // The library's text parser itself: its sax_parse also builds the binary readers, which do not
    // compile for a string type of one's own.
    using Adapter = nlohmann::detail::iterator_input_adapter<const char*>;
    nlohmann::detail::parser<StoredJson, Adapter> parser(
        nlohmann::detail::input_adapter(storedForm.data(), storedForm.data() + storedForm.size()), nullptr,
        false, false);
    if (!parser.sax_parse(&reader, true))
        return std::nullopt;
    StringMap values;
    for (auto& [name, value] : reader.members) {
        if (!value)
            return std::nullopt;
        values.emplace(name, std::move(*value));
    }
    return values;
}

// The stored form as the library writes it compactly, "/" left as it is, into a wiped buffer. The
// strings were checked as UTF-8 when the request was parsed, so nothing needs replacing.
WipedBuffer storedForm(const Json& values) {
    WipedBuffer out;
    out.append('{');
    const char* separator = "";
    for (const auto& [name, value] : values.items()) {
        out.append(separator);
        appendJsonString(out, name, Solidus::kept);
        out.append(':');
        appendJsonString(out, value.get_ref<const std::string&>(), Solidus::kept);
        separator = ",";
    }
    out.append('}');
    return out;
}

// Whether the request's values form a record, tested in place: a copy of a large record would double
// what "write" holds in memory.
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
    auto values = storedValues(found.data);
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
    WipedBuffer stored = storedForm(*member);
    auto updated = keychainUpdate(keychain, item, stored);
    if (updated == KeychainStatus::notFound)
        return {{"ok", keychainAdd(keychain, item, stored) == KeychainStatus::success}};
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
