// TPxFileSystemFolders: the folder namespace of a Linux desktop, read from
// the file system. The desktop and the user's folders follow the XDG
// user-dirs conventions ($XDG_CONFIG_HOME/user-dirs.dirs), drives and network
// shares come from the mount table, the trash is the freedesktop trash's
// files folder. It does not watch; the platform layer adds that.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "browse/pxfoldersource.h"

// Where the namespace is read from. Empty fields take the process's
// environment: $HOME (or the password database), $XDG_CONFIG_HOME,
// $XDG_DATA_HOME and /proc/self/mounts (or /proc/mounts).
struct TPxFileSystemSettings {
  std::string Home;
  std::string ConfigHome;
  std::string DataHome;
  std::string MountsFile;
};

class TPxFileSystemFolders : public TPxFolderSource {
 public:
  explicit TPxFileSystemFolders(TPxFileSystemSettings settings = {});

  bool List(const std::string& path, const TPxListOptions& options,
            std::vector<TPxFolderEntry>& entries) override;
  bool HasSubfolders(const std::string& path, const TPxListOptions& options) override;
  TPxPlaces Places() override;

  // The settings with the environment filled in.
  const TPxFileSystemSettings& Settings() const { return settings_; }

 private:
  TPxFileSystemSettings settings_;
  std::vector<std::string> shareFolders_;  // mount points of the shares last found by Places
};

// One line of the mount table, its escapes (\040 for a space...) decoded.
struct TPxMount {
  std::string Device;
  std::string MountPoint;
  std::string Type;
};

enum TPxMountKind : uint8_t { pxmkNone, pxmkDrive, pxmkShare };

// Parsers of text the tree does not control; malformed lines are skipped.
std::vector<TPxMount> PxParseMounts(const std::string& text);
// The entries of a user-dirs.dirs file as (key, absolute path), in file order.
// Values are "$HOME/..." or absolute paths; anything else is skipped.
std::vector<std::pair<std::string, std::string>> PxParseUserDirs(const std::string& text,
                                                                 const std::string& home);

// What a user would call a mount: a drive (a mounted disk, partition or
// removable medium), a network share, or neither (pseudo and system file
// systems, container layers, the system's own partitions).
TPxMountKind PxClassifyMount(const TPxMount& mount);
