#include "browse/pxfilesystemfolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "browse/pxnames.h"

namespace fs = std::filesystem;

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string Join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string WithSlash(const std::string& path) {
  return (!path.empty() && path.back() == '/') ? path : path + "/";
}

std::string WithoutSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool IsUnder(std::string_view path, std::string_view prefix) {
  return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Reads a folder's entries with the system's own calls: a folder is read
// once per child when its parent is expanded, and the file system library's
// path objects per entry cost more than the reading itself.
class FolderReader {
 public:
  explicit FolderReader(const std::string& path) : dir_(opendir(path.c_str())) {}
  ~FolderReader() {
    if (dir_) closedir(dir_);
  }
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;
  bool Opened() const { return dir_ != nullptr; }
  // The next entry kept by the options ("." and ".." never), or null.
  // A symbolic link to a folder counts as a folder.
  const char* Next(const TPxListOptions& options, bool& isFolder) {
    while (const dirent* e = readdir(dir_)) {
      const char* name = e->d_name;
      if (name[0] == '.' && (!options.Hidden || name[1] == 0 || (name[1] == '.' && name[2] == 0)))
        continue;
      isFolder = e->d_type == DT_DIR;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        isFolder = fstatat(dirfd(dir_), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      if (isFolder || options.Files) return name;
    }
    return nullptr;
  }

 private:
  DIR* dir_;
};

// Mount table fields escape blanks, tabs, new lines and backslashes as \ooo.
std::string DecodeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::string BaseName(const std::string& path) {
  const std::string trimmed = WithoutSlash(path);
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

TPxShellFolder UserFolderKind(const std::string& key) {
  if (key == "XDG_PICTURES_DIR") return SF_MYPICTURES;
  if (key == "XDG_DOCUMENTS_DIR") return SF_PERSONAL;
  if (key == "XDG_TEMPLATES_DIR") return SF_TEMPLATES;
  return SF_FILESYSTEMFOLDER;
}

// The order the user's folders are shown in: pictures first in a picture
// program, then the usual places; folders of other keys follow in file order.
int UserFolderRank(const std::string& key) {
  static const char* const order[] = {
      "XDG_PICTURES_DIR", "XDG_DOCUMENTS_DIR", "XDG_DOWNLOAD_DIR",   "XDG_MUSIC_DIR",
      "XDG_VIDEOS_DIR",   "XDG_TEMPLATES_DIR", "XDG_PUBLICSHARE_DIR"};
  for (int i = 0; i < 7; ++i)
    if (key == order[i]) return i;
  return 7;
}

}  // namespace

std::vector<TPxMount> PxParseMounts(const std::string& text) {
  std::vector<TPxMount> mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string device, point, type;
    if (!(fields >> device >> point >> type)) continue;
    mounts.push_back({DecodeMountField(device), DecodeMountField(point), DecodeMountField(type)});
  }
  return mounts;
}

std::vector<std::pair<std::string, std::string>> PxParseUserDirs(const std::string& text,
                                                                 const std::string& home) {
  std::vector<std::pair<std::string, std::string>> dirs;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const size_t eq = line.find('=', start);
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(start, eq - start);
    if (key.rfind("XDG_", 0) != 0 || key.size() < 9 || key.compare(key.size() - 4, 4, "_DIR") != 0)
      continue;
    // The value is one double-quoted string; \" and \\ are its escapes.
    size_t i = eq + 1;
    if (i >= line.size() || line[i] != '"') continue;
    std::string value;
    bool closed = false;
    for (++i; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value.push_back(line[++i]);
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value.push_back(line[i]);
      }
    }
    if (!closed) continue;
    std::string path;
    if (value == "$HOME") {
      path = home;
    } else if (value.rfind("$HOME/", 0) == 0) {
      path = Join(home, value.substr(6));
    } else if (!value.empty() && value[0] == '/') {
      path = value;
    } else {
      continue;
    }
    dirs.emplace_back(key, WithoutSlash(path));
  }
  return dirs;
}

TPxMountKind PxClassifyMount(const TPxMount& mount) {
  static const std::set<std::string> shares = {
      "nfs",   "nfs4",        "cifs",        "smb3",           "smbfs", "ncpfs",
      "afs",   "ceph",        "glusterfs",   "fuse.glusterfs", "sshfs", "fuse.sshfs",
      "davfs", "fuse.davfs2", "fuse.rclone", "fuse.s3fs"};
  // File systems that hold a user's files on a disk, a partition, a memory
  // card or a disc (fuseblk carries NTFS and exFAT through FUSE), and the
  // shared folders of virtual machines. Pseudo file systems (proc, sysfs,
  // tmpfs, cgroup, devpts...), squashfs images (snaps) and overlay layers of
  // containers are no drives: they hold no user files of their own, or show
  // folders that are already reached through "/".
  static const std::set<std::string> disks = {
      "ext2",  "ext3",    "ext4",     "xfs",    "btrfs", "vfat",  "msdos",    "exfat",   "ntfs",
      "ntfs3", "fuseblk", "iso9660",  "udf",    "f2fs",  "jfs",   "reiserfs", "hfs",     "hfsplus",
      "apfs",  "zfs",     "bcachefs", "nilfs2", "ufs",   "minix", "9p",       "virtiofs"};
  const std::string& point = mount.MountPoint;
  if (point.empty() || point[0] != '/' || point == "/") return pxmkNone;
  if (point.find("/.") != std::string::npos) return pxmkNone;  // mounted out of sight on purpose
  if (shares.count(mount.Type)) return pxmkShare;
  if (!disks.count(mount.Type)) return pxmkNone;
  // The system's own partitions and the bind mounts a container gets for
  // its configuration files: reached through "/" where they matter at all.
  static const char* const system[] = {"/proc", "/sys", "/dev", "/boot", "/efi", "/snap",
                                       "/usr",  "/etc", "/var", "/opt",  "/srv"};
  for (const char* s : system)
    if (IsUnder(point, s)) return pxmkNone;
  if (point == "/home") return pxmkNone;
  if (IsUnder(point, "/run") && !IsUnder(point, "/run/media")) return pxmkNone;
  return pxmkDrive;
}

TPxFileSystemFolders::TPxFileSystemFolders(TPxFileSystemSettings settings)
    : settings_(std::move(settings)) {
  if (settings_.Home.empty()) settings_.Home = HomeFolder();
  settings_.Home = WithoutSlash(settings_.Home);
  if (settings_.ConfigHome.empty()) settings_.ConfigHome = Env("XDG_CONFIG_HOME");
  if (settings_.ConfigHome.empty() || settings_.ConfigHome[0] != '/')
    settings_.ConfigHome = Join(settings_.Home, ".config");
  if (settings_.DataHome.empty()) settings_.DataHome = Env("XDG_DATA_HOME");
  if (settings_.DataHome.empty() || settings_.DataHome[0] != '/')
    settings_.DataHome = Join(settings_.Home, ".local/share");
  if (settings_.MountsFile.empty())
    settings_.MountsFile =
        access("/proc/self/mounts", R_OK) == 0 ? "/proc/self/mounts" : "/proc/mounts";
}

bool TPxFileSystemFolders::List(const std::string& path, const TPxListOptions& options,
                                std::vector<TPxFolderEntry>& entries) {
  entries.clear();
  FolderReader reader(path);
  if (!reader.Opened()) return false;
  // Inside a network share every look into a subfolder is a round trip to
  // the server: its subfolders are assumed to have children until expanded.
  bool remote = false;
  for (const std::string& share : shareFolders_)
    if (IsUnder(WithoutSlash(path), share)) remote = true;
  bool isFolder = false;
  // A folder that goes away while it is read ends the listing early: what
  // was found is kept.
  while (const char* name = reader.Next(options, isFolder)) {
    TPxFolderEntry e;
    e.Name = name;
    e.IsFolder = isFolder;
    e.Hidden = name[0] == '.';
    if (isFolder) e.HasSubfolders = remote || HasSubfolders(Join(path, e.Name), options);
    entries.push_back(std::move(e));
  }
  return true;
}

bool TPxFileSystemFolders::HasSubfolders(const std::string& path, const TPxListOptions& options) {
  FolderReader reader(path);
  bool isFolder = false;
  return reader.Opened() && reader.Next(options, isFolder) != nullptr;
}

TPxPlaces TPxFileSystemFolders::Places() {
  TPxPlaces places;
  const std::string& home = settings_.Home;
  places.Home = home;

  const auto dirs = PxParseUserDirs(ReadText(Join(settings_.ConfigHome, "user-dirs.dirs")), home);
  std::string desktop = Join(home, "Desktop");  // the convention's default
  for (const auto& [key, path] : dirs)
    if (key == "XDG_DESKTOP_DIR") desktop = path;
  places.Desktop = IsFolder(desktop) ? desktop : home;

  // A user folder set to the home folder is switched off by that convention.
  std::vector<std::pair<int, TPxPlace>> user;
  std::set<std::string> seen = {home, places.Desktop};
  for (const auto& [key, path] : dirs) {
    if (key == "XDG_DESKTOP_DIR" || seen.count(path) || !IsFolder(path)) continue;
    seen.insert(path);
    user.push_back({UserFolderRank(key), {BaseName(path), path, UserFolderKind(key)}});
  }
  std::stable_sort(user.begin(), user.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& u : user) places.UserFolders.push_back(std::move(u.second));

  places.Drives.push_back({"File System", "/", SF_FILESYSTEMFOLDER});
  // A later mount on the same point hides the earlier one.
  std::vector<TPxMount> mounts = PxParseMounts(ReadText(settings_.MountsFile));
  std::vector<TPxPlace> drives, shares;
  std::set<std::string> points;
  for (auto m = mounts.rbegin(); m != mounts.rend(); ++m) {
    if (!points.insert(WithoutSlash(m->MountPoint)).second) continue;
    const TPxMountKind kind = PxClassifyMount(*m);
    if (kind == pxmkNone || !IsFolder(m->MountPoint)) continue;
    const std::string path = WithSlash(m->MountPoint);
    if (kind == pxmkDrive)
      drives.push_back({BaseName(m->MountPoint), path, SF_FILESYSTEMFOLDER});
    else
      shares.push_back(
          {m->Device.empty() ? BaseName(m->MountPoint) : m->Device, path, SF_FILESYSTEMFOLDER});
  }
  const auto byName = [](const TPxPlace& a, const TPxPlace& b) {
    return PxNameLess(a.Name, b.Name);
  };
  std::sort(drives.begin(), drives.end(), byName);
  std::sort(shares.begin(), shares.end(), byName);
  places.Drives.insert(places.Drives.end(), drives.begin(), drives.end());
  places.Shares = shares;
  shareFolders_.clear();
  for (const TPxPlace& s : shares) shareFolders_.push_back(WithoutSlash(s.Path));

  const std::string trash = Join(settings_.DataHome, "Trash/files");
  if (IsFolder(trash)) places.Trash = trash;
  return places;
}
