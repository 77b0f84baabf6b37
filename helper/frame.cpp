#include "helper/frame.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// A raw NUL is never valid JSON (inside a string it must be escaped), but the library's reader takes
// it for the end of its input and would accept whatever came before.
bool holdsRawNul(std::string_view bytes) {
    return std::memchr(bytes.data(), '\0', bytes.size()) != nullptr;
}

} // namespace

std::optional<Json> parseJson(std::string_view bytes) {
    if (holdsRawNul(bytes))
        return std::nullopt;
    // The parser keeps its own stack instead of recursing, so nesting depth cannot exhaust ours.
    Json parsed = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

std::optional<std::string> stringMember(const Json& object, const char* name) {
    auto member = object.find(name);
    if (member == object.end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}

namespace {

// The members some operation reads as strings. "values" is read as an object of strings.
constexpr std::array<std::string_view, 8> stringMembers = {"operation", "language", "account", "action",
                                                           "nonce",     "cwd",      "command", "script"};

enum class Kept { stringValue, values, presence };

Kept keptAs(std::string_view name) {
    if (name == "values")
        return Kept::values;
    if (std::find(stringMembers.begin(), stringMembers.end(), name) != stringMembers.end())
        return Kept::stringValue;
    return Kept::presence;
}

// Reads a request as the library's events and keeps only what the operations read: the members above,
// "values" with its string members, and the name of the first other member, which is all the GitHub
// operations ask of the rest. Everything the kept members do not hold stands as null, so a later
// duplicate still replaces an earlier one as it would in the whole tree. Memory thus follows what is
// kept, not the shape of the request: a deep or wide value that no operation reads costs nothing.
class RequestReader : public nlohmann::json_sax<Json> {
public:
    Json request = Json::object();

    bool null() override { return scalar(nullptr); }
    bool boolean(bool) override { return scalar(nullptr); }
    bool number_integer(number_integer_t) override { return scalar(nullptr); }
    bool number_unsigned(number_unsigned_t) override { return scalar(nullptr); }
    bool number_float(number_float_t, const string_t&) override { return scalar(nullptr); }
    bool binary(binary_t&) override { return scalar(nullptr); }
    bool string(string_t& text) override { return scalar(std::move(text)); }

    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(string_t& name) override {
        if (depth == 1) {
            member = keptAs(name);
            if (member == Kept::presence && !otherMemberSeen) {
                otherMemberSeen = true;
                request[name] = nullptr;
            }
            if (member != Kept::presence)
                memberName = std::move(name);
        } else if (depth == 2 && member == Kept::values && valuesObject) {
            valueName = std::move(name);
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    std::size_t depth = 0;
    Kept member = Kept::presence;
    std::string memberName;
    std::string valueName;
    bool valuesObject = false; // "values" as it is being read is an object
    bool otherMemberSeen = false;

    // The value of a kept member, or of one of "values"' own members.
    void keep(Json value) {
        if (depth == 1 && member != Kept::presence)
            request[memberName] = std::move(value);
        else if (depth == 2 && member == Kept::values && valuesObject)
            request[memberName][valueName] = value.is_string() ? std::move(value) : Json();
    }

    bool scalar(Json value) {
        // A top-level value that is not an object is refused without reading further.
        if (depth == 0)
            return false;
        keep(member == Kept::values && depth == 1 ? Json() : std::move(value));
        return true;
    }

    bool open(bool isObject) {
        if (depth == 0 && !isObject)
            return false;
        if (depth == 1 && member == Kept::values && isObject) {
            request[memberName] = Json::object();
            valuesObject = true;
        } else {
            keep(Json());
        }
        ++depth;
        return true;
    }

    bool close() {
        --depth;
        if (depth == 1)
            valuesObject = false;
        return true;
    }
};

std::optional<Json> parseRequest(std::string_view bytes) {
    if (holdsRawNul(bytes))
        return std::nullopt;
    RequestReader reader;
    if (!Json::sax_parse(bytes.begin(), bytes.end(), &reader, nlohmann::detail::input_format_t::json, true,
                         false))
        return std::nullopt;
    return std::move(reader.request);
}

bool holdsOnlyOperationAndLanguage(const Json& request) {
    for (const auto& [name, value] : request.items()) {
        if (name != "operation" && name != "language")
            return false;
    }
    return true;
}

Reply answerGitHubStatus(const Json& request, const HelperPlugins& plugins) {
    if (!holdsOnlyOperationAndLanguage(request))
        return failureReply();
    return answerGitHubRequest(GitHubOperation::status, plugins.gitHub());
}

Reply answerGitHubAuth(const Json& request, const HelperPlugins& plugins) {
    if (!holdsOnlyOperationAndLanguage(request))
        return failureReply();
    return answerGitHubRequest(GitHubOperation::auth, plugins.gitHub());
}

using Operation = Reply (*)(const Json& request, const HelperPlugins& plugins);

struct NamedOperation {
    std::string_view name;
    Operation answer;
};

// Every operation by its exact, whole name.
constexpr std::array<NamedOperation, 8> operations = {{
    {"choose-folder", chooseFolder},
    {"github-status", answerGitHubStatus},
    {"github-auth", answerGitHubAuth},
    {"confirm-project-command", confirmProjectCommand},
    {"exists", answerExists},
    {"read", answerRead},
    {"remove", answerRemove},
    {"write", answerWrite},
}};

} // namespace

Reply answerRequest(std::string_view bytes, const HelperPlugins& plugins) {
    auto request = parseRequest(bytes);
    if (!request)
        return failureReply();
    auto operation = stringMember(*request, "operation");
    if (!operation)
        return failureReply();
    for (const auto& [name, answer] : operations) {
        if (name == *operation)
            return answer(*request, plugins);
    }
    return failureReply();
}
