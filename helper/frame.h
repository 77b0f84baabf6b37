// The helper's request frame: one JSON request in, one reply out.
#pragma once

#include "helper/operations.h"
#include "platform/streams.h"

#include <cstddef>
#include <string_view>

inline constexpr std::size_t requestLimit = 1'048'576;

Reply answerRequest(std::string_view bytes, const HelperPlugins& plugins);
