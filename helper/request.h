// The helper's request as the operations read it: a parsed JSON object and its string members.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

// The keychain service of every credential record.
inline constexpr std::string_view service = "ai.dovrel.macos.credentials";

// The member's value when it is a JSON string; any other type counts as missing.
std::optional<std::string> stringMember(const Json& object, const char* name);
