#include "fuzz/reply_shape.h"

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;

// Records whether object keys arrive in ascending order at every level, as written.
struct KeyOrder : nlohmann::json_sax<Json> {
    std::vector<std::string> lastKey;
    bool sorted = true;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override {
        lastKey.emplace_back();
        return true;
    }
    bool key(string_t& key) override {
        if (!lastKey.back().empty() && !(lastKey.back() < key))
            sorted = false;
        lastKey.back() = key;
        return true;
    }
    bool end_object() override {
        lastKey.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

// Every "/" escaped, no raw control byte anywhere, and no white space between tokens.
bool escapedAndCompact(std::string_view reply) {
    bool inString = false;
    bool escaped = false;
    for (char c : reply) {
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (!inString && c == ' ')
            return false;
        if (c == '/' && !escaped)
            return false;
        if (c == '"' && !escaped)
            inString = !inString;
        escaped = !escaped && c == '\\';
    }
    return true;
}

std::set<std::string> memberNames(const Json& object) {
    std::set<std::string> names;
    for (const auto& [name, value] : object.items())
        names.insert(name);
    return names;
}

bool isStateWord(const Json& value) {
    static const std::set<std::string> words{"connected", "not-connected", "secure-storage-required",
                                             "component-missing", "unavailable"};
    return value.is_string() && words.contains(value.get<std::string>());
}

bool isNonce(const Json& value) {
    if (!value.is_string())
        return false;
    auto nonce = value.get<std::string>();
    return nonce.size() == 48 && nonce.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool isStringObject(const Json& value) {
    if (!value.is_object())
        return false;
    for (const auto& [name, member] : value.items())
        if (!member.is_string())
            return false;
    return true;
}

bool hasKnownShape(std::string_view text, const Json& reply) {
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean())
        return false;
    bool ok = reply["ok"].get<bool>();
    auto names = memberNames(reply);
    using Names = std::set<std::string>;
    if (names == Names{"ok"})
        return ok || text == R"({"ok":false})";
    if (names == Names{"ok", "state"})
        return !ok && isStateWord(reply["state"]) && reply["state"] != "connected";
    if (names == Names{"authenticated", "ok", "state"}) {
        bool connected = reply["state"] == "connected";
        return reply["authenticated"].is_boolean() && isStateWord(reply["state"]) &&
               reply["authenticated"].get<bool>() == connected && (ok || !connected);
    }
    if (names == Names{"exists", "ok"})
        return ok && reply["exists"].is_boolean();
    if (names == Names{"ok", "values"})
        return ok && isStringObject(reply["values"]);
    if (names == Names{"approved", "nonce", "ok"})
        return ok && reply["approved"].is_boolean() && isNonce(reply["nonce"]);
    if (names == Names{"ok", "path"})
        return ok && (reply["path"].is_null() || reply["path"].is_string());
    return false;
}

} // namespace

bool isAllowedReply(std::string_view reply) {
    if (reply.empty() || reply.front() != '{' || reply.back() != '}' || !escapedAndCompact(reply))
        return false;
    KeyOrder order;
    if (!Json::sax_parse(reply.begin(), reply.end(), &order) || !order.sorted)
        return false;
    auto parsed = Json::parse(reply.begin(), reply.end(), nullptr, false);
    return !parsed.is_discarded() && hasKnownShape(reply, parsed);
}
