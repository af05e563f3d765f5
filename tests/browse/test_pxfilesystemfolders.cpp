// The folder namespace read from the file system: listing real folders,
// unreadable and vanished folders, the XDG user-dirs file, the mount table
// and the trash, and the folder tree over it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "browse/pxfilesystemfolders.h"
#include "browse/pxshelltree.h"
#include "util/testutil.h"

namespace fs = std::filesystem;

namespace {

void Touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << "x";
}

void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::vector<std::string> Names(const std::vector<TPxFolderEntry>& entries) {
  std::vector<std::string> n;
  for (const auto& e : entries) n.push_back(e.Name);
  std::sort(n.begin(), n.end());
  return n;
}

const TPxFolderEntry* Find(const std::vector<TPxFolderEntry>& entries, const std::string& name) {
  for (const auto& e : entries)
    if (e.Name == name) return &e;
  return nullptr;
}

// A home folder of its own, so that the test does not depend on the user's.
struct FakeHome {
  FakeHome() {
    home = tmp.Path() / "home";
    fs::create_directories(home);
    settings.Home = home.string();
    settings.ConfigHome = (home / ".config").string();
    settings.DataHome = (home / ".local/share").string();
    settings.MountsFile = (tmp.Path() / "mounts").string();
    Write(settings.MountsFile, "");
  }
  testutil::TempDir tmp;
  fs::path home;
  TPxFileSystemSettings settings;
};

// ---- listing ----

TEST(FileSystemFolders, ListsSubfoldersWithoutHiddenOnesAndKnowsWhichHaveChildren) {
  testutil::TempDir t;
  const fs::path r = t.Path();
  fs::create_directories(r / "withSub/inner");
  fs::create_directories(r / "onlyHidden/.git");
  fs::create_directories(r / "empty");
  fs::create_directories(r / ".hidden/x");
  Touch(r / "onlyFiles/a.jpg");
  Touch(r / "picture.jpg");
  fs::create_directory_symlink(r / "withSub", r / "link");

  TPxFileSystemFolders source;
  std::vector<TPxFolderEntry> entries;
  ASSERT_TRUE(source.List(r.string(), {}, entries));
  EXPECT_EQ(Names(entries),
            (std::vector<std::string>{"empty", "link", "onlyFiles", "onlyHidden", "withSub"}));
  EXPECT_TRUE(Find(entries, "withSub")->HasSubfolders);
  EXPECT_TRUE(Find(entries, "link")->HasSubfolders);  // a link to a folder is a folder
  EXPECT_FALSE(Find(entries, "onlyHidden")->HasSubfolders);
  EXPECT_FALSE(Find(entries, "onlyFiles")->HasSubfolders);
  EXPECT_FALSE(Find(entries, "empty")->HasSubfolders);

  // Asked for files and hidden entries, it gives them, marked.
  ASSERT_TRUE(source.List(r.string(), {true, true}, entries));
  EXPECT_EQ(Names(entries), (std::vector<std::string>{".hidden", "empty", "link", "onlyFiles",
                                                      "onlyHidden", "picture.jpg", "withSub"}));
  EXPECT_TRUE(Find(entries, ".hidden")->Hidden);
  EXPECT_FALSE(Find(entries, "picture.jpg")->IsFolder);
  EXPECT_TRUE(Find(entries, "onlyHidden")->HasSubfolders);
  EXPECT_TRUE(Find(entries, "onlyFiles")->HasSubfolders);
}

TEST(FileSystemFolders, AFolderThatCannotBeReadGivesNothing) {
  testutil::TempDir t;
  TPxFileSystemFolders source;
  std::vector<TPxFolderEntry> entries{{"stale"}};
  EXPECT_FALSE(source.List((t.Path() / "missing").string(), {}, entries));
  EXPECT_TRUE(entries.empty());
  Touch(t.Path() / "file.jpg");
  EXPECT_FALSE(source.List((t.Path() / "file.jpg").string(), {}, entries));
  EXPECT_FALSE(source.HasSubfolders((t.Path() / "missing").string(), {}));
}

// 0 when a locked folder reads as unreadable and its parent lists it without
// an expand button, else the number of the check that failed.
int CheckLockedFolder(const fs::path& parent, const fs::path& locked) {
  TPxFileSystemFolders source;
  std::vector<TPxFolderEntry> entries;
  if (source.List(locked.string(), {}, entries)) return 1;
  if (source.HasSubfolders(locked.string(), {})) return 2;
  if (!source.List(parent.string(), {}, entries) || entries.size() != 1) return 3;
  return entries[0].HasSubfolders ? 4 : 0;
}

TEST(FileSystemFolders, AFolderWithoutPermissionGivesNothing) {
  testutil::TempDir t;
  const fs::path locked = t.Path() / "locked";
  fs::create_directories(locked / "inside");
  fs::permissions(locked, fs::perms::none);
  // The parent stays readable by everyone (the temporary folder may be private).
  fs::permissions(t.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  int result = -1;
  if (geteuid() != 0) {
    result = CheckLockedFolder(t.Path(), locked);
  } else {
    // Permissions do not stop the superuser: check as an ordinary user, in
    // a child process that gives up the superuser's rights.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
      _exit(CheckLockedFolder(t.Path(), locked));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    result = WEXITSTATUS(status);
  }
  fs::permissions(locked, fs::perms::owner_all);
  if (result == 100) GTEST_SKIP() << "cannot run as an ordinary user";
  EXPECT_EQ(result, 0);
}

// ---- the user-dirs file ----

TEST(UserDirs, ParsesTheConventionsValues) {
  const std::string text =
      "# written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "  XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"\n"
      "XDG_MUSIC_DIR=\"/srv/music/\"\n"
      "XDG_PUBLICSHARE_DIR=\"$HOME\"\n"
      "XDG_VIDEOS_DIR=relative\n"
      "XDG_TEMPLATES_DIR=\"Templates\"\n"
      "XDG_BROKEN_DIR=\"$HOME/unterminated\n"
      "NOT_XDG=\"$HOME/x\"\n"
      "=\"\"\n";
  const auto dirs = PxParseUserDirs(text, "/home/ann");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"XDG_DESKTOP_DIR", "/home/ann/Desktop"},
      {"XDG_PICTURES_DIR", "/home/ann/My \"Pics\""},
      {"XDG_MUSIC_DIR", "/srv/music"},
      {"XDG_PUBLICSHARE_DIR", "/home/ann"}};
  EXPECT_EQ(dirs, expected);
}

// ---- the mount table ----

TEST(Mounts, ParsesLinesAndDecodesEscapes) {
  const auto mounts = PxParseMounts(
      "/dev/sdb1 /media/ann/My\\040Disk vfat rw 0 0\n"
      "garbage\n"
      "\n"
      "tab\\011x /mnt/a\\134b ext4 rw 0 0\n"
      "bad\\9 /mnt/c ext4 rw 0 0\n");
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].Device, "/dev/sdb1");
  EXPECT_EQ(mounts[0].MountPoint, "/media/ann/My Disk");
  EXPECT_EQ(mounts[0].Type, "vfat");
  EXPECT_EQ(mounts[1].Device, "tab\tx");
  EXPECT_EQ(mounts[1].MountPoint, "/mnt/a\\b");
  EXPECT_EQ(mounts[2].Device, "bad\\9");  // not an escape: kept as written
}

struct MountCase {
  const char* device;
  const char* point;
  const char* type;
  TPxMountKind kind;
};

class MountKind : public ::testing::TestWithParam<MountCase> {};

TEST_P(MountKind, IsWhatAUserWouldCallIt) {
  const MountCase& c = GetParam();
  EXPECT_EQ(PxClassifyMount({c.device, c.point, c.type}), c.kind) << c.point << " " << c.type;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MountKind,
    ::testing::Values(MountCase{"/dev/sdb1", "/media/ann/STICK", "vfat", pxmkDrive},
                      MountCase{"/dev/sdc1", "/run/media/ann/CARD", "exfat", pxmkDrive},
                      MountCase{"/dev/sr0", "/media/cdrom", "iso9660", pxmkDrive},
                      MountCase{"/dev/sda3", "/mnt/photos", "ext4", pxmkDrive},
                      MountCase{"/dev/sdd1", "/media/win", "fuseblk", pxmkDrive},
                      MountCase{"/dev/sda5", "/data", "btrfs", pxmkDrive},
                      MountCase{"/dev/vda", "/", "ext4", pxmkNone},  // shown as "/" already
                      MountCase{"/dev/sda1", "/boot/efi", "vfat", pxmkNone},
                      MountCase{"/dev/sda2", "/home", "ext4", pxmkNone},
                      MountCase{"/dev/vda", "/etc/hosts", "ext4", pxmkNone},
                      MountCase{"/dev/loop3", "/snap/core/123", "squashfs", pxmkNone},
                      MountCase{"/dev/sda2", "/var/lib/docker", "ext4", pxmkNone},
                      MountCase{"/dev/sdb1", "/media/ann/.hidden", "vfat", pxmkNone},
                      MountCase{"proc", "/proc", "proc", pxmkNone},
                      MountCase{"sysfs", "/sys", "sysfs", pxmkNone},
                      MountCase{"tmpfs", "/run/user/1000", "tmpfs", pxmkNone},
                      MountCase{"tmpfs", "/mnt/ram", "tmpfs", pxmkNone},
                      MountCase{"cgroup", "/sys/fs/cgroup/cpu", "cgroup", pxmkNone},
                      MountCase{"devpts", "/dev/pts", "devpts", pxmkNone},
                      MountCase{"overlay", "/mnt/merged", "overlay", pxmkNone},
                      MountCase{"/dev/sda4", "/run/systemd/x", "ext4", pxmkNone},
                      MountCase{"nas:/export/photos", "/mnt/nas", "nfs4", pxmkShare},
                      MountCase{"//nas/photos", "/media/photos", "cifs", pxmkShare},
                      MountCase{"ann@host:/pics", "/home/ann/remote", "fuse.sshfs", pxmkShare},
                      MountCase{"//srv/share", "/mnt/s", "smb3", pxmkShare}));

// ---- places ----

TEST(FileSystemFolders, PlacesFollowTheUserDirsFileMountsAndTrash) {
  FakeHome h;
  const fs::path& home = h.home;
  for (const char* d : {"Desktop", "Bilder", "Documents", "Downloads"})
    fs::create_directories(home / d);
  Write(home / ".config/user-dirs.dirs",
        "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
        "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
        "XDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n"
        "XDG_MUSIC_DIR=\"$HOME/Music\"\n"  // missing: left out
        "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
        "XDG_PUBLICSHARE_DIR=\"$HOME/\"\n");  // switched off
  fs::create_directories(home / ".local/share/Trash/files");
  const fs::path stick = h.tmp.Path() / "media/ann/My Stick";
  const fs::path card = h.tmp.Path() / "media/ann/card";
  const fs::path nas = h.tmp.Path() / "net/nas";
  for (const fs::path& p : {stick, card, nas}) fs::create_directories(p);
  const std::string esc = (h.tmp.Path() / "media/ann/My\\040Stick").string();
  Write(h.settings.MountsFile,
        "proc /proc proc rw 0 0\n"
        "/dev/vda / ext4 rw 0 0\n"
        "tmpfs /dev/shm tmpfs rw 0 0\n"
        "/dev/sdb1 " +
            esc +
            " vfat rw 0 0\n"
            "/dev/sdc1 " +
            card.string() +
            " exfat rw 0 0\n"
            "/dev/sdd1 " +
            (h.tmp.Path() / "gone").string() +
            " ext4 rw 0 0\n"  // no such folder
            "//nas/photos " +
            nas.string() + " cifs rw 0 0\n");

  TPxFileSystemFolders source(h.settings);
  const TPxPlaces p = source.Places();
  EXPECT_EQ(p.Home, home.string());
  EXPECT_EQ(p.Desktop, (home / "Desktop").string());
  ASSERT_EQ(p.UserFolders.size(), 3u);
  EXPECT_EQ(p.UserFolders[0].Name, "Bilder");
  EXPECT_EQ(p.UserFolders[0].Kind, SF_MYPICTURES);
  EXPECT_EQ(p.UserFolders[1].Path, (home / "Documents").string());
  EXPECT_EQ(p.UserFolders[2].Name, "Downloads");
  ASSERT_EQ(p.Drives.size(), 3u);
  EXPECT_EQ(p.Drives[0].Path, "/");
  EXPECT_EQ(p.Drives[1].Name, "card");
  EXPECT_EQ(p.Drives[1].Path, card.string() + "/");
  EXPECT_EQ(p.Drives[2].Name, "My Stick");
  EXPECT_EQ(p.Drives[2].Path, stick.string() + "/");
  ASSERT_EQ(p.Shares.size(), 1u);
  EXPECT_EQ(p.Shares[0].Name, "//nas/photos");
  EXPECT_EQ(p.Shares[0].Path, nas.string() + "/");
  EXPECT_EQ(p.Trash, (home / ".local/share/Trash/files").string());
}

TEST(FileSystemFolders, WithoutADesktopFolderTheDesktopIsHome) {
  FakeHome h;
  TPxFileSystemFolders source(h.settings);
  TPxPlaces p = source.Places();
  EXPECT_EQ(p.Desktop, h.home.string());
  EXPECT_TRUE(p.UserFolders.empty());
  EXPECT_TRUE(p.Shares.empty());
  EXPECT_TRUE(p.Trash.empty());
  // Without a user-dirs file the convention's default is Desktop in home.
  fs::create_directories(h.home / "Desktop");
  EXPECT_EQ(source.Places().Desktop, (h.home / "Desktop").string());
  // A desktop set to a folder that does not exist falls back to home.
  Write(h.home / ".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  EXPECT_EQ(source.Places().Desktop, h.home.string());
}

TEST(FileSystemFolders, TakesTheEnvironmentWhenNotTold) {
  TPxFileSystemFolders source;
  const char* home = std::getenv("HOME");
  if (home && *home) {
    std::string expected = home;
    while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    EXPECT_EQ(source.Settings().Home, expected);
  }
  EXPECT_FALSE(source.Settings().ConfigHome.empty());
  EXPECT_EQ(source.Settings().MountsFile.rfind("/proc/", 0), 0u);
  // This machine's mount table gives "/" at least.
  const TPxPlaces p = source.Places();
  ASSERT_FALSE(p.Drives.empty());
  EXPECT_EQ(p.Drives[0].Path, "/");
}

// ---- the tree over real folders ----

TEST(FileSystemTree, ShowsARealFolderTreeInReadingOrder) {
  testutil::TempDir t;
  const fs::path r = t.Path();
  for (const char* d : {"IMG_10", "img_2", "Album", ".thumbs", "b/c"})
    fs::create_directories(r / d);
  Touch(r / "a.jpg");
  TPxFileSystemFolders source;
  TPxShellTree tree(source);
  tree.SetRootedAt(SF_FILESYSTEMFOLDER);
  tree.SetRootedAtFileSystemFolder(r.string());
  tree.FillRoot();
  std::vector<std::string> texts;
  for (int i = 0; i < tree.Root()->Count(); ++i) texts.push_back(tree.Root()->Child(i)->Text());
  EXPECT_EQ(texts, (std::vector<std::string>{"Album", "b", "img_2", "IMG_10"}));
  EXPECT_TRUE(tree.Root()->Child(1)->HasChildren());
  EXPECT_FALSE(tree.Root()->Child(0)->HasChildren());
  EXPECT_EQ(tree.SelectedFolder(), r.string());
  // A folder made and one removed while shown, then reported as changed.
  fs::create_directories(r / "IMG_3");
  fs::remove_all(r / "Album");
  tree.FolderChanged(r.string());
  texts.clear();
  for (int i = 0; i < tree.Root()->Count(); ++i) texts.push_back(tree.Root()->Child(i)->Text());
  EXPECT_EQ(texts, (std::vector<std::string>{"b", "img_2", "IMG_3", "IMG_10"}));
}

TEST(FileSystemTree, AFolderThatVanishesBeforeItIsExpandedHasNoChildren) {
  testutil::TempDir t;
  fs::create_directories(t.Path() / "soon/gone/deeper");
  TPxFileSystemFolders source;
  TPxShellTree tree(source);
  tree.SetRootedAt(SF_FILESYSTEMFOLDER);
  tree.SetRootedAtFileSystemFolder(t.Path().string());
  tree.FillRoot();
  ASSERT_TRUE(tree.SelectPath((t.Path() / "soon").string()));
  TPxShellTreeNode* soon = tree.Selected();
  EXPECT_TRUE(soon->HasChildren());
  fs::remove_all(t.Path() / "soon");
  tree.Expand(soon);
  EXPECT_EQ(soon->Count(), 0);
  EXPECT_FALSE(soon->HasChildren());
  EXPECT_EQ(tree.SelectedFolder(), (t.Path() / "soon").string());
}

TEST(FileSystemTree, TheDesktopOfAFakeHome) {
  FakeHome h;
  fs::create_directories(h.home / "Desktop/Holiday");
  fs::create_directories(h.home / "Pictures");
  fs::create_directories(h.home / ".local/share/Trash/files");
  Write(h.home / ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Pictures\"\n");
  TPxFileSystemFolders source(h.settings);
  TPxShellTree tree(source);
  tree.FillRoot();
  std::vector<std::string> texts;
  for (int i = 0; i < tree.Root()->Count(); ++i) texts.push_back(tree.Root()->Child(i)->Text());
  EXPECT_EQ(texts, (std::vector<std::string>{"Home", "Pictures", "Computer", "Trash", "Holiday"}));
  EXPECT_EQ(tree.SelectedFolder(), (h.home / "Desktop").string());
  // The Trash node gives the trash's files folder.
  tree.Select(tree.Root()->Child(3));
  EXPECT_EQ(tree.SelectedFolder(), (h.home / ".local/share/Trash/files").string());
}

}  // namespace
