// The helper's reply: a JSON object written compactly with sorted members, "/" escaped as "\/", and
// UTF-8 left unescaped.
#pragma once

#include "platform/wiped.h"

#include <cstddef>
#include <map>
#include <string>
#include <variant>

using StringMap = std::map<std::string, std::string>;
using ReplyValue = std::variant<bool, std::string, std::nullptr_t, StringMap>;
// std::map keeps members in ascending byte order, which is the order the reply is written in.
using Reply = std::map<std::string, ReplyValue>;

// {"ok":false}, the one answer to every refusal; it never says why.
Reply failureReply();

// Wiped when released: a reply may carry a record's value.
WipedBuffer serializeReply(const Reply& reply);

// Writes the serialised reply to standard output and ends the process with status 0.
[[noreturn]] void output(const Reply& reply);
