#include "helper/request.h"

#include "helper/json_reader.h"

#include <algorithm>
#include <array>

namespace {

// The members some operation reads as strings. "values" is read as an object of strings.
constexpr std::array<std::string_view, 8> stringMembers = {"operation", "language", "account", "action",
                                                           "nonce",     "cwd",      "command", "script"};

enum class Kept { stringValue, values, nothing };

Kept keptAs(std::string_view name) {
    if (name == "values")
        return Kept::values;
    if (std::find(stringMembers.begin(), stringMembers.end(), name) != stringMembers.end())
        return Kept::stringValue;
    return Kept::nothing;
}

// Keeps of a request's events only what the operations read: the members above, "values" with its
// string members, and whether a member of another name than "operation" and "language" came by, which
// is all the GitHub operations ask of the rest. A later duplicate replaces an earlier one as it would in
// the whole tree. Memory thus follows what is kept, not the shape of the request: a deep or wide value
// that no operation reads costs nothing.
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

    Request request() && {
        return {std::move(members), values ? std::move(*values).values() : std::nullopt,
                onlyOperationAndLanguage};
    }

private:
    Json members = Json::object();
    Kept member = Kept::nothing;
    std::string memberName;
    std::optional<StringMembers> values; // "values" while it is an object
    bool onlyOperationAndLanguage = true;

    void takeMember(JsonEvent event, WipedString& text) {
        if (event == JsonEvent::end)
            return;
        if (event == JsonEvent::name) {
            member = keptAs(text);
            memberName.assign(text.data(), text.size());
            if (memberName != "operation" && memberName != "language")
                onlyOperationAndLanguage = false;
            return;
        }
        if (member == Kept::nothing)
            return;
        if (member == Kept::values) {
            values.reset();
            if (event == JsonEvent::objectStart)
                values.emplace(2);
        } else {
            members[memberName] =
                event == JsonEvent::string ? Json(std::string(text.data(), text.size())) : Json();
        }
    }
};

} // namespace

std::optional<Request> parseRequest(std::string_view bytes) {
    RequestReader reader;
    if (!readJson(bytes, [&](JsonEvent event, std::size_t depth, WipedString& text) {
            return reader.take(event, depth, text);
        }))
        return std::nullopt;
    return std::move(reader).request();
}

std::optional<std::string> stringMember(const Json& object, const char* name) {
    auto member = object.find(name);
    if (member == object.end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}
