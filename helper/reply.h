// The helper's reply: a JSON object written compactly with sorted members, "/" escaped as "\/", and
// UTF-8 left unescaped.
#pragma once

#include "platform/wiped.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <variant>

// Text values are wiped when released: they may be a record's values.
using StringMap = std::map<std::string, WipedBuffer>;
using ReplyValue = std::variant<bool, WipedBuffer, std::nullptr_t, StringMap>;
// std::map keeps members in ascending byte order, which is the order the reply is written in.
using Reply = std::map<std::string, ReplyValue>;

// Appends `text` as a JSON string: quotes, backslashes and control characters escaped, UTF-8 left as it
// is, and "/" as "\/" when `solidus` says so (the reply does; the library's own writer does not).
enum class Solidus { escaped, kept };
void appendJsonString(WipedBuffer& out, std::string_view text, Solidus solidus);

// Appends the members as one JSON object of strings, in the map's order, "/" written as `solidus` says.
void appendStringObject(WipedBuffer& out, const StringMap& members, Solidus solidus);

// {"ok":false}, the one answer to every refusal; it never says why.
Reply failureReply();

// Wiped when released: a reply may carry a record's value.
WipedBuffer serializeReply(const Reply& reply);

// Writes the serialised reply to standard output and ends the process with status 0.
[[noreturn]] void output(const Reply& reply);
