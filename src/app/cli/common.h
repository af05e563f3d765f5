// What the commands of pictrova-cli share: reporting a failure, reading numbers.
#pragma once

#include <string>

// "pictrova-cli: MESSAGE" on standard error; returns 1, the failure status.
int CliFail(const std::string& message);

// A whole decimal number from lo to hi; false for anything else.
bool CliParseInt(const std::string& text, long lo, long hi, int& out);
