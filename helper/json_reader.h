// The helper's one JSON reader, for the request and for a record's stored form alike: strict RFC 8259
// (UTF-8 checked, no comments, no trailing content, a raw NUL byte refused like any other stray byte),
// read as a sequence of events. Every string it reads lives only in buffers that are wiped when
// released, its own included, because a string may be a record's value.
#pragma once

#include "helper/reply.h"
#include "platform/wiped.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

enum class JsonEvent {
    objectStart,
    arrayStart,
    end,        // of the innermost object or array
    name,       // of an object's member; its value follows
    string,     // a string value
    otherValue, // a number, true, false or null
};

// Called for each event with the number of objects and arrays around it (0 for the top-level value and
// its end) and, for a name or a string, its text, which the callee may move from. Returning false stops
// the reading and refuses the text.
using JsonEventSink = std::function<bool(JsonEvent event, std::size_t depth, WipedString& text)>;

// True when `text` is one JSON value, optionally after a UTF-8 byte order mark and with whitespace
// around it, and the sink took every event. The nesting costs one bit per level: no recursion, so no
// depth exhausts the stack.
bool readJson(std::string_view text, const JsonEventSink& sink);

// The members of one object whose values must all be strings, as the whole tree would hold them: a
// later duplicate replaces an earlier one, and only the final values have to be strings.
class StringMembers {
public:
    // The object's members are at `depth`; events at other depths are not its own.
    explicit StringMembers(std::size_t depth) : depth(depth) {}
    void take(JsonEvent event, std::size_t at, WipedString& text);
    // The members, or nothing when one of them is not a string.
    std::optional<StringMap> values() &&;

private:
    std::size_t depth;
    std::string name;
    StringMap strings;
    std::set<std::string> others; // members whose value is not a string
};
