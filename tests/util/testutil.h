// Small helpers shared by the tests: scratch folders and external tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Path of a file inside the folder, as a string.
  std::string File(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command could not run
  std::string output;  // standard output and standard error together
};

// Runs a shell command and collects what it prints.
CommandResult RunCommand(const std::string& command);

// Runs a command that must succeed (a failed test expectation otherwise,
// showing the command and the start of what it printed) and returns its output.
std::string Shell(const std::string& command);

// A path or argument in single quotes for the shell.
std::string Quote(const std::string& s);

// True when an executable exists at the given absolute path.
bool HaveTool(const std::string& path);

// exiftool's short listing of a file ("-s" with the given arguments, for
// example "-n -EXIF:all"), tag name to value; empty when exiftool fails.
std::map<std::string, std::string> ExiftoolValues(const std::string& file, const std::string& args);

// A file this process holds open, found through /proc/self/fd.
struct OpenFile {
  std::filesystem::path path;  // the name it was opened under
  bool deleted = false;        // the name is gone; only the descriptor keeps it
  int64_t size = 0;
  std::filesystem::path link;  // /proc/self/fd/N: opening it reaches the file
};

// Every regular file this process holds open inside `folder` (named or
// already deleted). Temporary files are unlinked at creation, so this is how
// a test sees them.
std::vector<OpenFile> OpenFilesIn(const std::filesystem::path& folder);

// Writes a picture of one colour (a colour reference: red in the low byte)
// in the format of the file's extension.
void WriteSolidPicture(const std::string& file, int w, int h, uint32_t color);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// Folder where the build puts the program, the command-line tool and the data files.
std::string BinDir();
// The source tree's root.
std::string SourceDir();

}  // namespace testutil
