// The helper's request frame: one JSON request in, one reply out.
#pragma once

#include "helper/reply.h"
#include "platform/wiped.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

// The keychain service of every credential record.
inline constexpr std::string_view service = "ai.dovrel.macos.credentials";

inline constexpr std::size_t requestLimit = 1'048'576;

struct BoundedInput {
    WipedBuffer bytes;     // a request may carry a record's value
    bool complete = false; // read to its end, without error, within the limit
};

// Reads fd to its end but keeps at most `limit` bytes, so an endless input costs no more memory than
// the limit.
BoundedInput readBoundedInput(int fd, std::size_t limit);

// Strict RFC 8259: anything else, including invalid UTF-8, comments and trailing content, gives nothing.
std::optional<Json> parseJson(std::string_view bytes);

// The member's value when it is a JSON string; any other type counts as missing.
std::optional<std::string> stringMember(const Json& object, const char* name);

Reply answerRequest(std::string_view bytes);
