// Application helpers: the program folder, string-list helpers and the
// application object with its settings store ("app.inf").
#pragma once

#include <string>
#include <vector>

using TStringList = std::vector<std::string>;

// Folder of the running program, with a trailing "/". Not cached.
std::string ProgramFolder();

// Appends the tokens of text, cut at any character of delimiters, to list.
void SplitAt(const std::string& text, const std::string& delimiters, TStringList& list);

// Trims characters with codes 32 or less from both ends of every line;
// with removeEmpty, lines that end up empty are deleted.
void TrimLines(TStringList& list, bool removeEmpty);
