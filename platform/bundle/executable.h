// Stands in for NSBundle's executable location: the running program's own file, links resolved.
#pragma once

#include <optional>
#include <string>

std::optional<std::string> executableRealPath();
