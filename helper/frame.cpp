#include "helper/frame.h"

#include "helper/json_reader.h"

#include <algorithm>
#include <array>

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

// Keeps of a request's events only what the operations read: the members above, "values" with its
// string members, and the name of the first other member, which is all the GitHub operations ask of the
// rest. A later duplicate replaces an earlier one as it would in the whole tree. Memory thus follows
// what is kept, not the shape of the request: a deep or wide value that no operation reads costs
// nothing.
class RequestReader {
public:
    bool take(JsonEvent event, std::size_t depth, WipedString& text) {
        // A top-level value that is not an object is refused without reading further.
        if (depth == 0)
            return event == JsonEvent::objectStart || event == JsonEvent::end;
        if (depth == 1)
            takeMember(event, text);
        else if (member == Kept::values && values)
            values->take(event, depth, text);
        return true;
    }

    Request request() && { return {std::move(members), values ? std::move(*values).values() : std::nullopt}; }

private:
    Json members = Json::object();
    Kept member = Kept::presence;
    std::string memberName;
    std::optional<StringMembers> values; // "values" while it is an object
    bool otherMemberSeen = false;

    void takeMember(JsonEvent event, WipedString& text) {
        if (event == JsonEvent::end)
            return;
        if (event == JsonEvent::name) {
            member = keptAs(text);
            memberName.assign(text.data(), text.size());
            if (member == Kept::presence && !otherMemberSeen) {
                otherMemberSeen = true;
                members[memberName] = nullptr;
            }
            return;
        }
        if (member == Kept::presence)
            return;
        if (member == Kept::values) {
            members[memberName] = nullptr;
            values.reset();
            if (event == JsonEvent::objectStart)
                values.emplace(2);
        } else {
            members[memberName] =
                event == JsonEvent::string ? Json(std::string(text.data(), text.size())) : Json();
        }
    }
};

std::optional<Request> parseRequest(std::string_view bytes) {
    RequestReader reader;
    if (!readJson(bytes, [&](JsonEvent event, std::size_t depth, WipedString& text) {
            return reader.take(event, depth, text);
        }))
        return std::nullopt;
    return std::move(reader).request();
}

bool holdsOnlyOperationAndLanguage(const Json& request) {
    for (const auto& [name, value] : request.items()) {
        if (name != "operation" && name != "language")
            return false;
    }
    return true;
}

Reply answerGitHubStatus(const Request& request, const HelperPlugins& plugins) {
    if (!holdsOnlyOperationAndLanguage(request.members))
        return failureReply();
    return answerGitHubRequest(GitHubOperation::status, plugins.gitHub());
}

Reply answerGitHubAuth(const Request& request, const HelperPlugins& plugins) {
    if (!holdsOnlyOperationAndLanguage(request.members))
        return failureReply();
    return answerGitHubRequest(GitHubOperation::auth, plugins.gitHub());
}

Reply answerChooseFolder(const Request& request, const HelperPlugins& plugins) {
    return chooseFolder(request.members, plugins);
}

Reply answerConfirmProjectCommand(const Request& request, const HelperPlugins& plugins) {
    return confirmProjectCommand(request.members, plugins);
}

using Operation = Reply (*)(const Request& request, const HelperPlugins& plugins);

struct NamedOperation {
    std::string_view name;
    Operation answer;
};

// Every operation by its exact, whole name.
constexpr std::array<NamedOperation, 8> operations = {{
    {"choose-folder", answerChooseFolder},
    {"github-status", answerGitHubStatus},
    {"github-auth", answerGitHubAuth},
    {"confirm-project-command", answerConfirmProjectCommand},
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
    auto operation = stringMember(request->members, "operation");
    if (!operation)
        return failureReply();
    for (const auto& [name, answer] : operations) {
        if (name == *operation)
            return answer(*request, plugins);
    }
    return failureReply();
}
