// Application helpers: the program folder, string-list helpers and the
// application object with its settings store ("app.inf").
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using TStringList = std::vector<std::string>;

// Folder of the program's data files, with a trailing "/". Not cached.
// That is the folder of the program file, except for a program installed
// as PREFIX/bin/NAME, whose data files lie in PREFIX/share/pictrova/.
std::string ProgramFolder();

// Whether the program runs installed (PREFIX/bin beside
// PREFIX/share/pictrova) or from a folder it cannot write to: then its
// settings and working files go to the user's XDG folders.
bool ProgramFolderReadOnly();

// Where "app.inf" lives: the program folder, or $XDG_CONFIG_HOME/pictrova/
// (~/.config/pictrova/) for a read-only program folder. Made when missing.
std::string SettingsFolder();

// Where the working files (layerN.jpg, layerNs.jpg, t.png) go: the program
// folder, or $XDG_CACHE_HOME/pictrova/ (~/.cache/pictrova/). Made when missing.
std::string WorkFolder();

// An XDG base folder with a trailing "/": the variable's value when it is an
// absolute path, else HOME followed by fallback (".config", ".cache").
std::string XdgFolder(const char* variable, const char* fallback);

// Appends the tokens of text, cut at any character of delimiters, to list.
void SplitAt(const std::string& text, const std::string& delimiters, TStringList& list);

// Trims characters with codes 32 or less from both ends of every line;
// with removeEmpty, lines that end up empty are deleted.
void TrimLines(TStringList& list, bool removeEmpty);

// folder with a trailing "/"; the program (data) folder when folder is empty.
std::string FolderWithSlash(std::string folder);

// Equal but for the letter case of ASCII letters.
bool SameText(const std::string& a, const std::string& b);

// A whole text read as a decimal 32-bit integer (an optional sign first);
// false for anything else, the empty text included.
bool ParseInt32(const std::string& text, int32_t& value);

// Reads a text file into lines; a line ends at CR, LF or CR LF.
// Throws XaFileError when the file cannot be read.
TStringList ReadTextLines(const std::string& fileName);

// Writes every line followed by CR LF. The lines go to a new file beside the
// target which then replaces it, so a failed write leaves the old file whole.
void WriteTextLinesSafely(const std::string& fileName, const TStringList& lines);

// A file that cannot be read or written; the message names the file and the reason.
class XaFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct XaRect {
  int32_t Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const XaRect&) const = default;
};

// Moves a window rectangle that lies off every screen onto the primary one,
// keeping its size where it fits. A rectangle that meets a screen is kept.
XaRect KeepOnScreen(const XaRect& window, const std::vector<XaRect>& screens,
                    const XaRect& primary);

// What the application object needs of the main window.
class XaMainWindowPlace {
 public:
  virtual ~XaMainWindowPlace() = default;
  virtual XaRect WindowBounds() const = 0;  // outer edges, screen pixels
  virtual bool WindowStateNormal() const = 0;  // neither minimised nor maximised
  virtual void SetWindowLeft(int32_t v) = 0;
  virtual void SetWindowTop(int32_t v) = 0;
  virtual void SetWindowWidth(int32_t v) = 0;
  virtual void SetWindowHeight(int32_t v) = 0;
  // Brings a window that the stored place put off every screen back into view.
  virtual void KeepWindowOnScreen() {}
};

// Settings store in "app.inf" and the main window's position and size.
class XaApplication {
 public:
  // Reads "app.inf" from folder (SettingsFolder() when empty) if it exists
  // and readFile is set.
  explicit XaApplication(XaMainWindowPlace* mainWindow, std::string folder = {},
                         bool readFile = true);

  void LoadWindowSettings();
  void SaveWindowSettings();

  std::string GetString(const std::string& name) const;
  void SetString(const std::string& name, const std::string& value);
  int32_t GetInt(const std::string& name) const;
  void SetInt(const std::string& name, int32_t value);
  bool HasKey(const std::string& name) const;

  std::string SettingsFile() const { return folder_ + "app.inf"; }

  TStringList Settings;
  XaMainWindowPlace* MainWindow;  // not owned

 private:
  void LoadSettingsFile();
  // Index of the first line whose name matches, or -1.
  long FindLine(const std::string& name) const;

  std::string folder_;
};

// The one application object while the main window exists (not owned here).
extern XaApplication* Application;
