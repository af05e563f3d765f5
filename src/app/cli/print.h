// The page commands of pictrova-cli: placing pictures into a layout and
// printing the page, through the same code as the program's window.
#pragma once

#include <string>
#include <vector>

extern const char* const kPageUsage;

// pictrova-cli print --layout NAME [--fit MODE] (--pdf FILE | --printer QUEUE) PICTURE...
int CliPrint(const std::vector<std::string>& args);
// pictrova-cli place --layout NAME [--fit MODE] --out DIR PICTURE...
int CliPlace(const std::vector<std::string>& args);
