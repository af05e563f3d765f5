// The folder tree's logic over a made-up namespace: the order of names, the
// desktop's children, lazy expansion, the item filter, SelectedFolder,
// unreadable folders, watching and re-reading changed folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "browse/pxnames.h"
#include "browse/pxshelltree.h"

namespace {

// A namespace held in memory: a set of folder and file paths.
class FakeFolders : public TPxFolderSource {
 public:
  void AddFolder(const std::string& path) {
    for (std::string p = path; p.size() > 1; p = Parent(p)) folders.insert(p);
    folders.insert("/");
  }
  void AddFile(const std::string& path) {
    AddFolder(Parent(path));
    files.insert(path);
  }
  void RemoveFolder(const std::string& path) {
    for (auto it = folders.begin(); it != folders.end();)
      it = (*it == path || it->rfind(path + "/", 0) == 0) ? folders.erase(it) : std::next(it);
  }

  bool List(const std::string& path, const TPxListOptions& options,
            std::vector<TPxFolderEntry>& entries) override {
    entries.clear();
    ++lists[Strip(path)];
    if (unreadable.count(Strip(path)) || !folders.count(Strip(path))) return false;
    // Hidden entries are given whatever the options: the tree filters them.
    for (const std::string& f : folders)
      if (f != "/" && Parent(f) == Strip(path))
        entries.push_back({Name(f), true, Name(f)[0] == '.', HasSubfolders(f, options)});
    if (options.Files)
      for (const std::string& f : files)
        if (Parent(f) == Strip(path)) entries.push_back({Name(f), false, Name(f)[0] == '.', false});
    return true;
  }
  bool HasSubfolders(const std::string& path, const TPxListOptions& options) override {
    if (unreadable.count(Strip(path))) return false;
    for (const std::string& f : folders)
      if (f != "/" && Parent(f) == Strip(path) && (options.Hidden || Name(f)[0] != '.'))
        return true;
    return false;
  }
  TPxPlaces Places() override { return places; }
  void Watch(const std::string& path) override { watchCalls.push_back("+" + path); }
  void Unwatch(const std::string& path) override { watchCalls.push_back("-" + path); }

  static std::string Strip(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }
  static std::string Parent(const std::string& p) {
    const size_t s = Strip(p).find_last_of('/');
    return s == 0 ? "/" : Strip(p).substr(0, s);
  }
  static std::string Name(const std::string& p) {
    return Strip(p).substr(Strip(p).find_last_of('/') + 1);
  }

  std::set<std::string> folders, files, unreadable;
  TPxPlaces places;
  std::map<std::string, int> lists;
  std::vector<std::string> watchCalls;
};

// A desktop with home, two user folders, a USB stick, a share and a trash.
struct Desk {
  Desk() {
    for (const char* f :
         {"/home/ann/Desktop/Projects", "/home/ann/Desktop/notes", "/home/ann/Pictures/2024/IMG_10",
          "/home/ann/Pictures/2024/IMG_2", "/home/ann/Pictures/Old", "/home/ann/Documents",
          "/home/ann/.config/app", "/home/ann/.local/share/Trash/files/kept", "/media/ann/USB/DCIM",
          "/net/nas/photos/2023", "/tmp/work/a/b", "/tmp/work/.hid/c"})
      fs.AddFolder(f);
    fs.AddFile("/home/ann/Pictures/2024/cover.jpg");
    TPxPlaces& p = fs.places;
    p.Desktop = "/home/ann/Desktop";
    p.Home = "/home/ann";
    p.UserFolders = {{"Pictures", "/home/ann/Pictures", SF_MYPICTURES},
                     {"Documents", "/home/ann/Documents", SF_PERSONAL}};
    p.Drives = {{"File System", "/", SF_FILESYSTEMFOLDER},
                {"USB", "/media/ann/USB/", SF_FILESYSTEMFOLDER}};
    p.Shares = {{"//nas/photos", "/net/nas/photos/", SF_FILESYSTEMFOLDER}};
    p.Trash = "/home/ann/.local/share/Trash/files";
  }
  TPxShellTreeNode* Child(TPxShellTreeNode* n, const std::string& text) {
    for (int i = 0; i < n->Count(); ++i)
      if (n->Child(i)->Text() == text) return n->Child(i);
    return nullptr;
  }
  static std::vector<std::string> Texts(const TPxShellTreeNode* n) {
    std::vector<std::string> t;
    for (int i = 0; i < n->Count(); ++i) t.push_back(n->Child(i)->Text());
    return t;
  }
  FakeFolders fs;
};

// Records what the tree tells its widget.
struct RecordingHost : TPxShellTreeHost {
  void HostTreeReset() override { ++resets; }
  void HostChildrenChanged(TPxShellTreeNode& node) override { changed.push_back(node.Id()); }
  void HostExpandedChanged(TPxShellTreeNode& node) override { expanded.push_back(node.Id()); }
  void HostSelectionChanged(TPxShellTreeNode* node) override { selections.push_back(node); }
  void HostBusy(bool busy) override { busyCalls += busy ? 1 : -1; }
  int resets = 0, busyCalls = 0;
  std::vector<uint64_t> changed, expanded;
  std::vector<TPxShellTreeNode*> selections;
};

// ---- the order of names ----

struct NameCase {
  const char* a;
  const char* b;
  int sign;  // of PxCompareNames(a, b)
};

class NameOrder : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameOrder, ComparesAsAPersonReads) {
  const NameCase c = GetParam();
  const int r = PxCompareNames(c.a, c.b);
  EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  const int back = PxCompareNames(c.b, c.a);
  EXPECT_EQ((back > 0) - (back < 0), -c.sign) << "not antisymmetric: " << c.b << " vs " << c.a;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameOrder,
    ::testing::Values(NameCase{"IMG_2", "IMG_10", -1}, NameCase{"img_2", "IMG_10", -1},
                      NameCase{"IMG_10", "img_9", 1}, NameCase{"apple", "Banana", -1},
                      NameCase{"Banana", "cherry", -1}, NameCase{"abc", "ABD", -1},
                      NameCase{"file", "file1", -1}, NameCase{"file1", "file1a", -1},
                      NameCase{"x7", "x007", -1}, NameCase{"x007", "x8", -1},
                      NameCase{"2024-01-05", "2024-01-10", -1}, NameCase{"v1.9", "v1.10", -1},
                      NameCase{"n99999999999999999999", "n100000000000000000000", -1},
                      NameCase{"A", "a", -1}, NameCase{"same", "same", 0},
                      NameCase{"zebra",
                               "\xC3\x9c"
                               "ber",
                               -1},
                      NameCase{"10", "9a", 1}, NameCase{"a 2", "a 10", -1}, NameCase{"", "a", -1}));

TEST(ShellTree, SortsChildrenByNameAsAPersonReads) {
  FakeFolders fs;
  for (const char* n : {"IMG_10", "img_2", "IMG_1", "Zoo", "apple", "Banana", "IMG_02"})
    fs.AddFolder(std::string("/r/") + n);
  TPxShellTree tree(fs);
  tree.SetRootedAt(SF_FILESYSTEMFOLDER);
  tree.SetRootedAtFileSystemFolder("/r");
  tree.FillRoot();
  EXPECT_EQ(Desk::Texts(tree.Root()), (std::vector<std::string>{"apple", "Banana", "IMG_1", "img_2",
                                                                "IMG_02", "IMG_10", "Zoo"}));
}

// ---- the desktop's children ----

struct RootCase {
  const char* name;
  bool userFolders, shares, trash, desktopIsHome;
  std::vector<std::string> expected;
};

class RootOrder : public ::testing::TestWithParam<RootCase> {};

TEST_P(RootOrder, FollowsThePlaces) {
  const RootCase& c = GetParam();
  Desk d;
  if (!c.userFolders) d.fs.places.UserFolders.clear();
  if (!c.shares) d.fs.places.Shares.clear();
  if (!c.trash) d.fs.places.Trash.clear();
  if (c.desktopIsHome) d.fs.places.Desktop = d.fs.places.Home;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  ASSERT_NE(tree.Root(), nullptr);
  EXPECT_EQ(tree.Root()->Text(), "Desktop");
  EXPECT_EQ(tree.Root()->Path(), d.fs.places.Desktop);
  EXPECT_TRUE(tree.Root()->Expanded());
  EXPECT_EQ(Desk::Texts(tree.Root()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RootOrder,
    ::testing::Values(
        RootCase{
            "All",
            true,
            true,
            true,
            false,
            {"Home", "Pictures", "Documents", "Computer", "Network", "Trash", "notes", "Projects"}},
        RootCase{"NoNetwork",
                 true,
                 false,
                 true,
                 false,
                 {"Home", "Pictures", "Documents", "Computer", "Trash", "notes", "Projects"}},
        RootCase{"NoTrash",
                 true,
                 true,
                 false,
                 false,
                 {"Home", "Pictures", "Documents", "Computer", "Network", "notes", "Projects"}},
        RootCase{
            "NoUserFolders", false, false, false, false, {"Home", "Computer", "notes", "Projects"}},
        RootCase{"DesktopIsHome",
                 true,
                 true,
                 true,
                 true,
                 {"Home", "Pictures", "Documents", "Computer", "Network", "Trash"}}),
    [](const ::testing::TestParamInfo<RootCase>& i) { return std::string(i.param.name); });

TEST(ShellTree, ComputerHoldsTheFileSystemAndTheDrivesNetworkTheShares) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* computer = d.Child(tree.Root(), "Computer");
  TPxShellTreeNode* network = d.Child(tree.Root(), "Network");
  ASSERT_TRUE(computer && network);
  EXPECT_TRUE(computer->Path().empty());
  EXPECT_TRUE(computer->HasChildren());
  EXPECT_EQ(computer->Item().Kind, SF_DRIVES);
  tree.Expand(computer);
  tree.Expand(network);
  EXPECT_EQ(Desk::Texts(computer), (std::vector<std::string>{"File System", "USB"}));
  EXPECT_EQ(Desk::Texts(network), (std::vector<std::string>{"//nas/photos"}));
  EXPECT_EQ(computer->Child(1)->Path(), "/media/ann/USB/");
  // Expanding the stick lists its root folder.
  tree.Expand(computer->Child(1));
  EXPECT_EQ(Desk::Texts(computer->Child(1)), (std::vector<std::string>{"DCIM"}));
  EXPECT_EQ(computer->Child(1)->Child(0)->Path(), "/media/ann/USB/DCIM");
}

// ---- lazy expansion ----

TEST(ShellTree, ReadsAFolderOnlyWhenExpanded) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* pictures = d.Child(tree.Root(), "Pictures");
  ASSERT_NE(pictures, nullptr);
  EXPECT_EQ(d.fs.lists.count("/home/ann/Pictures"), 0u);
  EXPECT_FALSE(pictures->Loaded());
  EXPECT_TRUE(pictures->HasChildren());  // the source said it has subfolders
  EXPECT_EQ(pictures->Count(), 0);

  tree.Expand(pictures);
  EXPECT_EQ(d.fs.lists["/home/ann/Pictures"], 1);
  EXPECT_TRUE(pictures->Expanded());
  EXPECT_EQ(Desk::Texts(pictures), (std::vector<std::string>{"2024", "Old"}));
  // One level only: the children are not read yet.
  EXPECT_EQ(d.fs.lists.count("/home/ann/Pictures/2024"), 0u);
  TPxShellTreeNode* y2024 = pictures->Child(0);
  TPxShellTreeNode* old = pictures->Child(1);
  EXPECT_TRUE(y2024->HasChildren());
  EXPECT_FALSE(old->HasChildren());  // no expand button

  // Collapsing and expanding again keeps the nodes and reads nothing.
  tree.Collapse(pictures);
  EXPECT_FALSE(pictures->Expanded());
  tree.Expand(pictures);
  EXPECT_EQ(d.fs.lists["/home/ann/Pictures"], 1);
  EXPECT_EQ(pictures->Child(0), y2024);

  // A folder without subfolders adds nothing and stays collapsed; files are
  // not nodes while ShowFiles is off.
  tree.Expand(old);
  EXPECT_EQ(old->Count(), 0);
  EXPECT_FALSE(old->Expanded());
  EXPECT_FALSE(old->HasChildren());
  tree.Expand(y2024);
  EXPECT_EQ(Desk::Texts(y2024), (std::vector<std::string>{"IMG_2", "IMG_10"}));
}

TEST(ShellTree, TellsTheHostWhatChanged) {
  Desk d;
  RecordingHost host;
  TPxShellTree tree(d.fs);
  tree.SetHost(&host);
  tree.FillRoot();
  EXPECT_GE(host.resets, 1);
  ASSERT_EQ(host.changed.size(), 1u);
  EXPECT_EQ(host.changed[0], tree.Root()->Id());
  EXPECT_EQ(host.expanded, std::vector<uint64_t>{tree.Root()->Id()});
  ASSERT_EQ(host.selections.size(), 1u);
  EXPECT_EQ(host.selections[0], tree.Root());
  EXPECT_EQ(host.busyCalls, 0);  // every busy has its end
  TPxShellTreeNode* home = d.Child(tree.Root(), "Home");
  tree.Expand(home);
  EXPECT_EQ(host.changed.back(), home->Id());
  EXPECT_EQ(host.expanded.back(), home->Id());
}

// ---- the item filter ----

struct FilterCase {
  const char* name;
  TPxShellTreeItem item;
  bool showHidden, showNethood, showRecycleBin, showFiles;
  bool passes;
};

class ItemFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ItemFilter, DecidesWhatBecomesANode) {
  const FilterCase& c = GetParam();
  FakeFolders fs;
  TPxShellTree tree(fs);
  tree.SetShowHidden(c.showHidden);
  tree.SetShowNethood(c.showNethood);
  tree.SetShowRecycleBin(c.showRecycleBin);
  tree.SetShowFiles(c.showFiles);
  EXPECT_EQ(tree.Passes(c.item), c.passes);
}

const TPxShellTreeItem kFolder{"Photos", "/p/Photos", SF_FILESYSTEMFOLDER, true, false, false};
const TPxShellTreeItem kHidden{".cache", "/p/.cache", SF_FILESYSTEMFOLDER, true, true, false};
const TPxShellTreeItem kNetwork{"Network", "", SF_NETWORK, true, false, true};
const TPxShellTreeItem kNethood{"Places", "", SF_NETHOOD, true, false, true};
const TPxShellTreeItem kTrash{"Trash", "/t", SF_BITBUCKET, true, false, false};
const TPxShellTreeItem kRecycler{"$Recycle.Bin", "/w/$Recycle.Bin", SF_FILESYSTEMFOLDER, true, true,
                                 false};
const TPxShellTreeItem kRecycledHidden{"recycled", "/w/recycled", SF_FILESYSTEMFOLDER,
                                       true,       true,          false};
const TPxShellTreeItem kFile{"a.jpg", "/p/a.jpg", SF_FILESYSTEMFOLDER, false, false, false};

INSTANTIATE_TEST_SUITE_P(
    Table, ItemFilter,
    ::testing::Values(
        FilterCase{"Folder", kFolder, false, true, true, false, true},
        FilterCase{"HiddenLeftOut", kHidden, false, true, true, false, false},
        FilterCase{"HiddenShown", kHidden, true, true, true, false, true},
        FilterCase{"NetworkShown", kNetwork, false, true, true, false, true},
        FilterCase{"NetworkLeftOut", kNetwork, false, false, true, false, false},
        FilterCase{"NethoodLeftOut", kNethood, false, false, true, false, false},
        FilterCase{"TrashShown", kTrash, false, true, true, false, true},
        FilterCase{"TrashLeftOut", kTrash, false, true, false, false, false},
        // A hidden RECYCL... folder counts as a recycle bin only by name.
        FilterCase{"RecyclerLeftOutAsHidden", kRecycledHidden, true, true, false, false, false},
        FilterCase{"RecyclerShownWithBin", kRecycledHidden, true, true, true, false, true},
        FilterCase{"OtherHiddenShownWithoutBin", kRecycler, true, true, false, false, true},
        FilterCase{"FileLeftOut", kFile, false, true, true, false, false},
        FilterCase{"FileShown", kFile, false, true, true, true, true}),
    [](const ::testing::TestParamInfo<FilterCase>& i) { return std::string(i.param.name); });

TEST(ShellTree, HiddenFoldersNeverBecomeNodes) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* home = d.Child(tree.Root(), "Home");
  tree.Expand(home);
  EXPECT_EQ(Desk::Texts(home), (std::vector<std::string>{"Desktop", "Documents", "Pictures"}));
  // A folder whose only subfolder is hidden shows no expand button.
  EXPECT_TRUE(tree.SelectPath("/tmp/work"));
  TPxShellTreeNode* work = tree.Selected();
  tree.Expand(work);
  EXPECT_EQ(Desk::Texts(work), std::vector<std::string>{"a"});
  EXPECT_FALSE(tree.SelectPath("/tmp/work/.hid/c"));
}

TEST(ShellTree, FilesAreListedAfterFoldersWhenAskedAndFiltered) {
  FakeFolders fs;
  fs.AddFolder("/r/sub");
  for (const char* f : {"/r/b.JPG", "/r/a.png", "/r/c.txt", "/r/.d.jpg"}) fs.AddFile(f);
  TPxShellTree tree(fs);
  tree.SetRootedAt(SF_FILESYSTEMFOLDER);
  tree.SetRootedAtFileSystemFolder("/r");
  tree.SetShowFiles(true);
  tree.SetFilter("*.jpg;*.png");
  tree.FillRoot();
  EXPECT_EQ(Desk::Texts(tree.Root()), (std::vector<std::string>{"sub", "a.png", "b.JPG"}));
  EXPECT_FALSE(tree.Root()->Child(1)->Item().IsFolder);
}

TEST(ShellTree, AddFolderEventMayLeaveAnItemOut) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.OnAddFolder = [](TPxShellTree*, const TPxShellTreeItem& item, bool& canAdd) {
    canAdd = item.Kind != SF_DRIVES;
  };
  tree.FillRoot();
  EXPECT_EQ(d.Child(tree.Root(), "Computer"), nullptr);
  EXPECT_NE(d.Child(tree.Root(), "Home"), nullptr);
}

// ---- SelectedFolder and selection ----

struct SelectCase {
  const char* name;
  std::vector<std::string> route;  // texts from the root down; empty: nothing selected
  std::string expected;
};

class SelectedFolder : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectedFolder, IsTheNodesPath) {
  const SelectCase& c = GetParam();
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* node = tree.Root();
  for (const std::string& t : c.route) {
    tree.Expand(node);
    node = d.Child(node, t);
    ASSERT_NE(node, nullptr) << t;
  }
  tree.Select(c.route.empty() && std::string(c.name) == "None" ? nullptr : node);
  EXPECT_EQ(tree.SelectedFolder(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelectedFolder,
    ::testing::Values(SelectCase{"Desktop", {}, "/home/ann/Desktop"}, SelectCase{"None", {}, ""},
                      SelectCase{"Computer", {"Computer"}, ""},
                      SelectCase{"Network", {"Network"}, ""},
                      SelectCase{"FileSystem", {"Computer", "File System"}, "/"},
                      SelectCase{"Drive", {"Computer", "USB"}, "/media/ann/USB/"},
                      SelectCase{"Share", {"Network", "//nas/photos"}, "/net/nas/photos/"},
                      SelectCase{"DriveFolder", {"Computer", "USB", "DCIM"}, "/media/ann/USB/DCIM"},
                      SelectCase{"Home", {"Home"}, "/home/ann"},
                      SelectCase{"UserFolder", {"Pictures", "2024"}, "/home/ann/Pictures/2024"},
                      SelectCase{"Trash", {"Trash"}, "/home/ann/.local/share/Trash/files"},
                      SelectCase{"OnTheDesktop", {"Projects"}, "/home/ann/Desktop/Projects"}),
    [](const ::testing::TestParamInfo<SelectCase>& i) { return std::string(i.param.name); });

TEST(ShellTree, RaisesChangeForEachNewSelectionOnly) {
  Desk d;
  TPxShellTree tree(d.fs);
  std::vector<std::string> seen;
  tree.OnChange = [&](TPxShellTree* sender, TPxShellTreeNode* node) {
    EXPECT_EQ(sender, &tree);
    seen.push_back(node ? node->Text() : "(none)");
  };
  tree.FillRoot();
  EXPECT_EQ(seen, std::vector<std::string>{"Desktop"});
  TPxShellTreeNode* home = d.Child(tree.Root(), "Home");
  tree.Select(home);
  tree.Select(home);
  EXPECT_EQ(seen, (std::vector<std::string>{"Desktop", "Home"}));
  EXPECT_FALSE(home->Expanded());  // selecting does not expand
  tree.SetExpandOnSelected(true);
  tree.Select(d.Child(tree.Root(), "Pictures"));
  EXPECT_TRUE(d.Child(tree.Root(), "Pictures")->Expanded());
}

TEST(ShellTree, SelectsTheSpecialFolderAtStart) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.SetSpecialFolder(SF_MYPICTURES);
  tree.FillRoot();
  EXPECT_EQ(tree.SelectedFolder(), "/home/ann/Pictures");
}

TEST(ShellTree, SelectPathExpandsTheWayDown) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  // Outside home: through Computer and "/".
  ASSERT_TRUE(tree.SelectPath("/tmp/work/a/b/"));
  EXPECT_EQ(tree.SelectedFolder(), "/tmp/work/a/b");
  TPxShellTreeNode* computer = d.Child(tree.Root(), "Computer");
  EXPECT_TRUE(computer->Expanded());
  EXPECT_EQ(tree.Selected()->Parent()->Parent()->Parent()->Text(), "tmp");
  // Below home: the nearest place holds it, not "/".
  ASSERT_TRUE(tree.SelectPath("/home/ann/Pictures/2024/IMG_2"));
  EXPECT_EQ(tree.Selected()->Parent()->Parent(), d.Child(tree.Root(), "Pictures"));
  // Dots are resolved before the search.
  ASSERT_TRUE(tree.SelectPath("/tmp/work/./a/../a"));
  EXPECT_EQ(tree.SelectedFolder(), "/tmp/work/a");
  ASSERT_TRUE(tree.SelectPath("/home/ann/Pictures/2024/IMG_2"));
  EXPECT_FALSE(tree.SelectPath("/no/such/folder"));
  EXPECT_EQ(tree.SelectedFolder(), "/home/ann/Pictures/2024/IMG_2");  // unchanged
}

// ---- folders that cannot be read ----

TEST(ShellTree, AnUnreadableFolderHasNoChildrenAndNoMessage) {
  Desk d;
  d.fs.unreadable.insert("/home/ann/Pictures");
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* pictures = d.Child(tree.Root(), "Pictures");
  ASSERT_NE(pictures, nullptr);
  EXPECT_FALSE(pictures->HasChildren());
  tree.Expand(pictures);
  EXPECT_EQ(pictures->Count(), 0);
  EXPECT_FALSE(pictures->Expanded());
  tree.Select(pictures);
  EXPECT_EQ(tree.SelectedFolder(), "/home/ann/Pictures");
  // Readable again: the next expansion reads it, since it holds no children.
  d.fs.unreadable.clear();
  tree.Expand(pictures);
  EXPECT_EQ(Desk::Texts(pictures), (std::vector<std::string>{"2024", "Old"}));
}

// ---- watching and refreshing ----

TEST(ShellTree, WatchesEachReadFolderOnce) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  EXPECT_EQ(d.fs.watchCalls, std::vector<std::string>{"+/home/ann/Desktop"});
  tree.Expand(d.Child(tree.Root(), "Home"));
  // The same folder reached a second way is watched once.
  ASSERT_TRUE(tree.SelectPath("/home/ann/Documents"));
  TPxShellTreeNode* n = tree.Root();
  for (const char* t : {"Computer", "File System", "home", "ann"}) {
    n = d.Child(n, t);
    ASSERT_NE(n, nullptr) << t;
    tree.Expand(n);
  }
  EXPECT_EQ(tree.WatchedFolders(),
            (std::vector<std::string>{"/", "/home", "/home/ann", "/home/ann/Desktop"}));
  EXPECT_EQ(std::count(d.fs.watchCalls.begin(), d.fs.watchCalls.end(), "+/home/ann"), 1);
  // Switched off: nothing is watched.
  tree.SetAutomaticRefresh(false);
  EXPECT_TRUE(tree.WatchedFolders().empty());
  EXPECT_EQ(d.fs.watchCalls.back().substr(0, 1), "-");
  tree.SetAutomaticRefresh(true);
  EXPECT_EQ(tree.WatchedFolders().size(), 4u);
  // Clearing the tree unwatches everything it watched.
  tree.Clear();
  EXPECT_TRUE(tree.WatchedFolders().empty());
  int balance = 0;
  for (const std::string& c : d.fs.watchCalls) balance += c[0] == '+' ? 1 : -1;
  EXPECT_EQ(balance, 0);
}

TEST(ShellTree, AChangedFolderIsReReadKeepingWhatStillExists) {
  Desk d;
  RecordingHost host;
  TPxShellTree tree(d.fs);
  tree.SetHost(&host);
  int updates = 0;
  tree.OnUpdatedFolder = [&](TPxShellTree*, TPxShellTreeNode* n) {
    ++updates;
    EXPECT_EQ(n->Path(), "/home/ann/Pictures");
  };
  tree.FillRoot();
  ASSERT_TRUE(tree.SelectPath("/home/ann/Pictures/2024/IMG_10"));
  TPxShellTreeNode* pictures = d.Child(tree.Root(), "Pictures");
  TPxShellTreeNode* y2024 = d.Child(pictures, "2024");
  TPxShellTreeNode* img10 = tree.Selected();
  const uint64_t id2024 = y2024->Id();
  ASSERT_TRUE(y2024->Expanded());

  // One folder added, one renamed: "Old" becomes "Older".
  d.fs.AddFolder("/home/ann/Pictures/2025/x");
  d.fs.RemoveFolder("/home/ann/Pictures/Old");
  d.fs.AddFolder("/home/ann/Pictures/Older");
  d.fs.OnFolderChanged("/home/ann/Pictures");

  EXPECT_EQ(updates, 1);
  EXPECT_EQ(Desk::Texts(pictures), (std::vector<std::string>{"2024", "2025", "Older"}));
  EXPECT_EQ(d.Child(pictures, "2024"), y2024);
  EXPECT_EQ(y2024->Id(), id2024);
  EXPECT_TRUE(y2024->Expanded());
  EXPECT_TRUE(pictures->Expanded());
  EXPECT_EQ(tree.Selected(), img10);
  EXPECT_TRUE(d.Child(pictures, "2025")->HasChildren());
  EXPECT_EQ(host.changed.back(), pictures->Id());
}

TEST(ShellTree, AVanishedSelectedFolderClearsTheSelection) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  ASSERT_TRUE(tree.SelectPath("/home/ann/Pictures/2024/IMG_2"));
  tree.Expand(tree.Selected());
  std::vector<TPxShellTreeNode*> changes;
  tree.OnChange = [&](TPxShellTree*, TPxShellTreeNode* n) { changes.push_back(n); };
  d.fs.RemoveFolder("/home/ann/Pictures/2024");
  d.fs.OnFolderChanged("/home/ann/Pictures/");  // a trailing separator names the same folder
  EXPECT_EQ(tree.Selected(), nullptr);
  EXPECT_EQ(tree.SelectedFolder(), "");
  EXPECT_EQ(changes, std::vector<TPxShellTreeNode*>{nullptr});
  EXPECT_EQ(Desk::Texts(d.Child(tree.Root(), "Pictures")), std::vector<std::string>{"Old"});
  // What was read below the vanished folder is no longer watched.
  for (const std::string& w : tree.WatchedFolders())
    EXPECT_EQ(w.find("/2024"), std::string::npos) << w;
}

TEST(ShellTree, AFolderThatLosesItsLastSubfolderCollapses) {
  Desk d;
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  ASSERT_TRUE(tree.SelectPath("/home/ann/Desktop/Projects"));
  TPxShellTreeNode* root = tree.Root();
  d.fs.RemoveFolder("/home/ann/Desktop/Projects");
  d.fs.RemoveFolder("/home/ann/Desktop/notes");
  d.fs.OnFolderChanged("/home/ann/Desktop");
  EXPECT_EQ(Desk::Texts(root), (std::vector<std::string>{"Home", "Pictures", "Documents",
                                                         "Computer", "Network", "Trash"}));
  // A plain folder emptied of subfolders loses its expand button.
  TPxShellTreeNode* pictures = d.Child(root, "Pictures");
  tree.Expand(pictures);
  tree.Expand(d.Child(pictures, "2024"));
  d.fs.RemoveFolder("/home/ann/Pictures/2024/IMG_10");
  d.fs.RemoveFolder("/home/ann/Pictures/2024/IMG_2");
  d.fs.OnFolderChanged("/home/ann/Pictures/2024");
  EXPECT_FALSE(d.Child(pictures, "2024")->HasChildren());
  EXPECT_FALSE(d.Child(pictures, "2024")->Expanded());
}

TEST(ShellTree, RefreshingThePlacesFollowsMountsAndShares) {
  Desk d;
  d.fs.places.Shares.clear();
  TPxShellTree tree(d.fs);
  tree.FillRoot();
  TPxShellTreeNode* computer = d.Child(tree.Root(), "Computer");
  tree.Expand(computer);
  TPxShellTreeNode* fileSystem = d.Child(computer, "File System");
  EXPECT_EQ(d.Child(tree.Root(), "Network"), nullptr);
  // A share is mounted and the stick is taken out.
  d.fs.places.Shares = {{"//nas/photos", "/net/nas/photos/", SF_FILESYSTEMFOLDER}};
  d.fs.places.Drives.pop_back();
  tree.RefreshPlaces();
  EXPECT_EQ(Desk::Texts(tree.Root()),
            (std::vector<std::string>{"Home", "Pictures", "Documents", "Computer", "Network",
                                      "Trash", "notes", "Projects"}));
  EXPECT_EQ(d.Child(tree.Root(), "Computer"), computer);
  EXPECT_EQ(Desk::Texts(computer), std::vector<std::string>{"File System"});
  EXPECT_EQ(d.Child(computer, "File System"), fileSystem);
}

}  // namespace
