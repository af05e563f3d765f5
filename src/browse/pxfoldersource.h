// The folder namespace behind the folder tree (TPxShellTree): what it lists
// below a folder, the special places of the desktop (home, the user's
// folders, drives, network shares, the trash) and the watching of folders
// for changes. The tree asks only this interface, so that tests can give it
// a made-up namespace and the platform layer can add a file-system watcher.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The special folders a tree may be rooted at or select at start-up. Those
// with a place here are the desktop, SF_DRIVES ("Computer"), SF_NETWORK,
// SF_BITBUCKET (the trash), SF_PERSONAL, SF_MYPICTURES and SF_TEMPLATES (the
// user's documents, pictures and templates folders) and SF_FILESYSTEMFOLDER
// (a folder given by path); a tree rooted at any other is rooted at the
// desktop.
enum TPxShellFolder : uint8_t {
  SF_FILESYSTEMFOLDER,
  SF_BITBUCKET,
  SF_CONTROLS,
  SF_DESKTOP,
  SF_DESKTOPDIRECTORY,
  SF_DRIVES,
  SF_FONTS,
  SF_NETHOOD,
  SF_NETWORK,
  SF_PERSONAL,
  SF_PRINTERS,
  SF_PROGRAMS,
  SF_RECENT,
  SF_SENDTO,
  SF_STARTMENU,
  SF_STARTUP,
  SF_TEMPLATES,
  SF_FAVORITES,
  SF_COMMON_STARTMENU,
  SF_COMMON_STARTUP,
  SF_COMMON_DESKTOPDIRECTORY,
  SF_APPDATA,
  SF_PRINTHOOD,
  SF_COMMON_FAVORITES,
  SF_INTERNET_CACHE,
  SF_COOKIES,
  SF_HISTORY,
  SF_COMMON_PROGRAMS,
  SF_ALTSTARTUP,
  SF_COMMON_APPDATA,
  SF_COMMON_DOCUMENTS,
  SF_INTERNET,
  SF_LOCAL_APPDATA,
  SF_MYPICTURES,
  SF_PROGRAM_FILES,
  SF_SYSTEM,
  SF_PROGRAM_FILES_COMMON,
};

// One entry of a folder, as listed.
struct TPxFolderEntry {
  std::string Name;
  bool IsFolder = true;
  bool Hidden = false;         // a dot name
  bool HasSubfolders = false;  // at least one entry a listing with the same options would keep
};

// What a listing keeps: folders always, files and hidden entries on request.
struct TPxListOptions {
  bool Files = false;
  bool Hidden = false;
};

// A special place of the desktop.
struct TPxPlace {
  std::string Name;  // display name
  std::string Path;  // drives and shares end with "/"
  TPxShellFolder Kind = SF_FILESYSTEMFOLDER;
  bool operator==(const TPxPlace&) const = default;
};

struct TPxPlaces {
  std::string Desktop;  // the desktop folder, the home folder when there is none
  std::string Home;
  std::vector<TPxPlace> UserFolders;  // the user's folders that exist, in the order shown
  std::vector<TPxPlace> Drives;       // "/" first, then the mounted volumes
  std::vector<TPxPlace> Shares;       // mounted network shares
  std::string Trash;                  // the trash's files folder, empty when there is none
  bool operator==(const TPxPlaces&) const = default;
};

class TPxFolderSource {
 public:
  virtual ~TPxFolderSource() = default;

  // The entries of a folder in any order; files and hidden entries may be
  // left out unless asked for. A folder that cannot be read gives false and
  // no entries.
  virtual bool List(const std::string& path, const TPxListOptions& options,
                    std::vector<TPxFolderEntry>& entries) = 0;
  // Whether a listing of the folder with these options would keep anything.
  virtual bool HasSubfolders(const std::string& path, const TPxListOptions& options) = 0;
  virtual TPxPlaces Places() = 0;

  // Change notification. The tree watches each folder whose children it
  // holds; a source that can watch reports a change of a watched folder's
  // entries through OnFolderChanged with the path given to Watch. Each path
  // is watched once until unwatched.
  virtual void Watch(const std::string& /*path*/) {}
  virtual void Unwatch(const std::string& /*path*/) {}
  std::function<void(const std::string& path)> OnFolderChanged;
};
