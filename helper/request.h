// The helper's request as the operations read it, and how it is taken from the bytes on standard input.
#pragma once

#include "helper/reply.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

// A request as the operations read it. The strings of "values" are a record's values, so they are kept
// apart from the other members, in buffers that are wiped when released.
struct Request {
    Json members;                    // the members some operation reads as a string, each a string or null
    std::optional<StringMap> values; // "values" when it is an object whose members are all strings
    bool onlyOperationAndLanguage = true; // no member of another name, which the GitHub operations refuse
};

// The request in `bytes`; nothing when they are not one JSON object.
std::optional<Request> parseRequest(std::string_view bytes);

// The member's value when it is a JSON string; any other type counts as missing.
std::optional<std::string> stringMember(const Json& object, const char* name);
