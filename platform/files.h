// Stands in for NSFileManager (item attributes, directory creation) and for file URLs' resolution of
// symbolic links, as the GitHub CLI integration uses them.
#pragma once

#include "platform/descriptor.h"

#include <cstdint>
#include <optional>
#include <string>

enum class FileType { regular, directory, other };

struct FileAttributes {
    FileType type = FileType::other;
    std::uint64_t size = 0;
    unsigned permissions = 0; // the permission bits, set-id bits included
};

// The attributes of the item itself; a symbolic link is reported as `other`, never followed.
std::optional<FileAttributes> itemAttributes(const std::string& path);
std::optional<FileAttributes> openFileAttributes(int fd);

// True when some existing component of the absolute path is a symbolic link, so that resolving the
// path's links would change it. Components past the first missing one cannot be links.
bool reachedThroughSymbolicLink(const std::string& path);

// The absolute path, standardized, with the links of its existing leading components resolved by the
// system and the components past them appended as they are; nothing when a component cannot be
// searched or is not a directory.
std::optional<std::string> resolvedPath(const std::string& path);

// Opens the file at the absolute path for reading when no component of it, the last included, is a
// symbolic link. Never blocks on a FIFO or takes a terminal as controlling terminal.
std::optional<OwnedDescriptor> openWithoutLinks(const std::string& path);

// Creates the directory and its missing parents, each new one with exactly `permissions`; an existing
// directory is left as it is.
bool createDirectoryWithParents(const std::string& path, unsigned permissions);
