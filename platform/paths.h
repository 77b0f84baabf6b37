// Stands in for file URLs' path handling: components, standardising and the parent folder, on the text
// of a path alone (the file system is not asked).
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The non-empty components of a path, in order.
std::vector<std::string> pathComponents(std::string_view path);

// Removes "." and ".." components and repeated or trailing slashes from an absolute path.
std::string standardizedPath(std::string_view path);

// The path without trailing slashes; "/" stays as it is.
std::string withoutTrailingSlashes(std::string path);

// The folder that holds the last component; "/" for a path directly below the root or without a slash.
std::string parentFolder(const std::string& path);
