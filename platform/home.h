// Stands in for NSFileManager homeDirectoryForCurrentUser.
#pragma once

#include <string>

// $HOME when it is an absolute path, else the password database's entry; empty when neither has one.
std::string homeDirectory();
