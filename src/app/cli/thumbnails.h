// The thumbnails command of pictrova-cli.
#pragma once

#include <string>
#include <vector>

extern const char* const kThumbsUsage;

// pictrova-cli thumbnails [--size W H] --out DIR PICTURE...
int CliThumbnails(const std::vector<std::string>& args);
