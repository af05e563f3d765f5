// The folder tree widget over real temporary folders: what it shows, lazy
// expansion by the view, selection both ways, and the file-system watcher
// showing folders made, renamed and removed while the tree is open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTreeWidgetItem>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "browse/pxfilesystemfolders.h"
#include "platform/pxshelltreewidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace fs = std::filesystem;

namespace {

// Lets events run until the condition holds or five seconds have passed.
bool WaitFor(const std::function<bool()>& condition) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

std::vector<std::string> Texts(const QTreeWidgetItem* item) {
  std::vector<std::string> t;
  for (int i = 0; i < item->childCount(); ++i) t.push_back(item->child(i)->text(0).toStdString());
  return t;
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* item, const std::string& text) {
  if (!item) return nullptr;
  for (int i = 0; i < item->childCount(); ++i)
    if (item->child(i)->text(0).toStdString() == text) return item->child(i);
  return nullptr;
}

// A widget rooted at a temporary folder holding a few folders.
struct RootedWidget {
  RootedWidget() {
    for (const char* d :
         {"Trips/2024", "Trips/2023", "album_10", "album_9/sub", ".cache/x", "empty"})
      fs::create_directories(tmp.Path() / d);
    widget.Tree().SetRootedAt(SF_FILESYSTEMFOLDER);
    widget.Tree().SetRootedAtFileSystemFolder(tmp.Path().string());
    widget.Tree().OnChange = [this](TPxShellTree*, TPxShellTreeNode*) {
      changes.push_back(widget.SelectedFolder());
    };
    widget.resize(300, 400);
    widget.show();
    QCoreApplication::processEvents();
  }
  QTreeWidgetItem* Root() { return widget.topLevelItem(0); }
  QApplication& app = testutil::QtApp();  // before any widget
  testutil::TempDir tmp;
  TPxShellTreeWidget widget;
  std::vector<std::string> changes;
};

TEST(ShellTreeWidget, FillsWhenShownAndSelectsTheRoot) {
  RootedWidget w;
  ASSERT_EQ(w.widget.topLevelItemCount(), 1);
  QTreeWidgetItem* root = w.Root();
  EXPECT_EQ(root->text(0).toStdString(), w.tmp.Path().filename().string());
  EXPECT_TRUE(root->isExpanded());
  EXPECT_EQ(Texts(root), (std::vector<std::string>{"album_9", "album_10", "empty", "Trips"}));
  EXPECT_EQ(w.widget.currentItem(), root);
  EXPECT_EQ(w.changes, std::vector<std::string>{w.tmp.Path().string()});
  EXPECT_EQ(w.widget.indentation(), 19);
  // Every folder has the platform's folder icon; only "Trips" can be expanded.
  for (int i = 0; i < root->childCount(); ++i) EXPECT_FALSE(root->child(i)->icon(0).isNull());
  EXPECT_EQ(ChildNamed(root, "Trips")->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  EXPECT_EQ(ChildNamed(root, "empty")->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
}

TEST(ShellTreeWidget, ExpandingAnItemReadsItsFolder) {
  RootedWidget w;
  QTreeWidgetItem* trips = ChildNamed(w.Root(), "Trips");
  ASSERT_NE(trips, nullptr);
  EXPECT_EQ(trips->childCount(), 0);  // not read before it is expanded
  trips->setExpanded(true);           // as a click on its button does
  EXPECT_EQ(Texts(trips), (std::vector<std::string>{"2023", "2024"}));
  TPxShellTreeNode* node = w.widget.NodeOf(trips);
  ASSERT_NE(node, nullptr);
  EXPECT_TRUE(node->Expanded());
  EXPECT_EQ(w.widget.ItemOf(node), trips);
  trips->setExpanded(false);
  EXPECT_FALSE(node->Expanded());
  // A folder emptied behind the tree's back (its own folder is not watched
  // before it is read): expanding finds nothing and the item folds back
  // without its button.
  QTreeWidgetItem* album = ChildNamed(w.Root(), "album_9");
  EXPECT_EQ(album->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  fs::remove(w.tmp.Path() / "album_9/sub");
  album->setExpanded(true);
  EXPECT_FALSE(album->isExpanded());
  EXPECT_EQ(album->childCount(), 0);
  EXPECT_EQ(album->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
  // The wait cursor shown while folders were read is gone.
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(ShellTreeWidget, SelectionGoesBothWays) {
  RootedWidget w;
  QTreeWidgetItem* trips = ChildNamed(w.Root(), "Trips");
  w.widget.setCurrentItem(trips);
  EXPECT_EQ(w.widget.SelectedFolder(), (w.tmp.Path() / "Trips").string());
  EXPECT_EQ(w.changes.back(), (w.tmp.Path() / "Trips").string());
  EXPECT_FALSE(trips->isExpanded());
  // The tree selecting a deeper folder expands the view down to it.
  ASSERT_TRUE(w.widget.Tree().SelectPath((w.tmp.Path() / "Trips/2024").string()));
  EXPECT_TRUE(trips->isExpanded());
  ASSERT_NE(w.widget.currentItem(), nullptr);
  EXPECT_EQ(w.widget.currentItem()->text(0).toStdString(), "2024");
  EXPECT_EQ(w.changes.back(), (w.tmp.Path() / "Trips/2024").string());
}

TEST(ShellTreeWidget, AClickOfEitherButtonSelects) {
  RootedWidget w;
  for (const auto& [name, button] :
       {std::pair{"Trips", Qt::LeftButton}, std::pair{"empty", Qt::RightButton}}) {
    QTreeWidgetItem* item = ChildNamed(w.Root(), name);
    const QPoint at = w.widget.visualItemRect(item).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, w.widget.viewport()->mapToGlobal(at), button,
                      button, Qt::NoModifier);
    QApplication::sendEvent(w.widget.viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w.widget.viewport()->mapToGlobal(at),
                        button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w.widget.viewport(), &release);
    EXPECT_EQ(w.widget.SelectedFolder(), (w.tmp.Path() / name).string()) << name;
    EXPECT_EQ(w.changes.back(), (w.tmp.Path() / name).string()) << name;
  }
}

TEST(ShellTreeWidget, AFolderMadeInAnExpandedFolderAppears) {
  RootedWidget w;
  QTreeWidgetItem* trips = ChildNamed(w.Root(), "Trips");
  trips->setExpanded(true);
  w.widget.setCurrentItem(ChildNamed(trips, "2024"));
  fs::create_directories(w.tmp.Path() / "Trips/2025");
  ASSERT_TRUE(WaitFor([&] { return ChildNamed(trips, "2025") != nullptr; }));
  EXPECT_EQ(Texts(trips), (std::vector<std::string>{"2023", "2024", "2025"}));
  // What was there keeps its state.
  EXPECT_TRUE(trips->isExpanded());
  ASSERT_NE(w.widget.currentItem(), nullptr);
  EXPECT_EQ(w.widget.currentItem()->text(0).toStdString(), "2024");
  EXPECT_EQ(w.widget.SelectedFolder(), (w.tmp.Path() / "Trips/2024").string());
}

TEST(ShellTreeWidget, RenamedAndRemovedFoldersFollow) {
  RootedWidget w;
  fs::rename(w.tmp.Path() / "album_10", w.tmp.Path() / "album_11");
  ASSERT_TRUE(WaitFor([&] { return ChildNamed(w.Root(), "album_11") != nullptr; }));
  EXPECT_EQ(ChildNamed(w.Root(), "album_10"), nullptr);
  // Removing the selected folder clears the selection and tells the owner.
  w.widget.setCurrentItem(ChildNamed(w.Root(), "empty"));
  fs::remove(w.tmp.Path() / "empty");
  ASSERT_TRUE(WaitFor([&] { return ChildNamed(w.Root(), "empty") == nullptr; }));
  EXPECT_EQ(w.widget.SelectedFolder(), "");
  EXPECT_EQ(w.changes.back(), "");
  // A hidden folder made meanwhile does not show.
  fs::create_directories(w.tmp.Path() / ".new");
  fs::create_directories(w.tmp.Path() / "visible");
  ASSERT_TRUE(WaitFor([&] { return ChildNamed(w.Root(), "visible") != nullptr; }));
  EXPECT_EQ(ChildNamed(w.Root(), ".new"), nullptr);
}

TEST(ShellTreeWidget, WatchesTheFoldersItHolds) {
  RootedWidget w;
  QTreeWidgetItem* trips = ChildNamed(w.Root(), "Trips");
  trips->setExpanded(true);
  const QStringList watched = w.widget.Source().WatchedPaths();
  EXPECT_TRUE(watched.contains(QString::fromStdString(w.tmp.Path().string())));
  EXPECT_TRUE(watched.contains(QString::fromStdString((w.tmp.Path() / "Trips").string())));
  EXPECT_EQ(watched.size(), 2);
  // The watch on a removed folder goes with its node.
  fs::remove_all(w.tmp.Path() / "Trips");
  ASSERT_TRUE(WaitFor([&] { return ChildNamed(w.Root(), "Trips") == nullptr; }));
  EXPECT_EQ(w.widget.Source().WatchedPaths(),
            QStringList{QString::fromStdString(w.tmp.Path().string())});
}

TEST(ShellTreeWidget, TheDesktopOfAFakeHomeWithItsPlaces) {
  testutil::QtApp();
  testutil::TempDir tmp;
  const fs::path home = tmp.Path() / "home";
  fs::create_directories(home / "Desktop/Holiday");
  fs::create_directories(home / "Pictures/2024");
  fs::create_directories(home / ".local/share/Trash/files");
  fs::create_directories(home / ".config");
  std::ofstream(home / ".config/user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Pictures\"\n";
  std::ofstream(tmp.Path() / "mounts") << "/dev/vda / ext4 rw 0 0\n";
  TPxFileSystemSettings settings;
  settings.Home = home.string();
  settings.MountsFile = (tmp.Path() / "mounts").string();
  TPxShellTreeWidget widget(std::make_unique<TPxFileSystemFolders>(settings));
  std::vector<std::string> folders;
  widget.Tree().OnChange = [&](TPxShellTree*, TPxShellTreeNode*) {
    folders.push_back(widget.SelectedFolder());
  };
  widget.show();
  QCoreApplication::processEvents();
  QTreeWidgetItem* root = widget.topLevelItem(0);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text(0).toStdString(), "Desktop");
  EXPECT_EQ(Texts(root),
            (std::vector<std::string>{"Home", "Pictures", "Computer", "Trash", "Holiday"}));
  EXPECT_EQ(folders, std::vector<std::string>{(home / "Desktop").string()});
  for (int i = 0; i < root->childCount(); ++i) EXPECT_FALSE(root->child(i)->icon(0).isNull()) << i;
  // "Computer" has no folder of its own; its "/" has.
  QTreeWidgetItem* computer = ChildNamed(root, "Computer");
  widget.setCurrentItem(computer);
  EXPECT_EQ(folders.back(), "");
  computer->setExpanded(true);
  ASSERT_EQ(computer->childCount(), 1);
  widget.setCurrentItem(computer->child(0));
  EXPECT_EQ(folders.back(), "/");
}

}  // namespace
