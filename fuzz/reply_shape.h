// What every helper reply must look like, checked independently of the writer that produced it.
#pragma once

#include <string_view>

// True when `reply` is one of the replies the helper may give: compact, members in ascending order at
// every level, every "/" escaped, no raw control byte, no trailing newline, and one of the known
// member sets with values of the right types.
bool isAllowedReply(std::string_view reply);
