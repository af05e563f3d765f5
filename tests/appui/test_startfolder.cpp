// "pictrova FOLDER": the main window starts with the folder selected in the
// tree and its pictures in the thumbnails.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTreeWidgetItem>
#include <filesystem>
#include <memory>

#include "app/PicPrintDlg.h"
#include "app/thumbdisplay.h"
#include "platform/pxshelltreewidget.h"
#include "util/qtapp.h"
#include "util/testutil.h"

namespace {

namespace fs = std::filesystem;

struct StartCase {
  const char* name;
  bool showFirst;  // as start-up does; else the tree is not filled yet
};

class StartFolderTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartFolderTest, SelectsTheFolderInTheTree) {
  testutil::QtApp();
  testutil::TempDir dir;
  const fs::path folder = dir.Path() / "holiday" / "beach";
  fs::create_directories(folder);
  fs::create_directories(dir.Path() / "holiday" / "hills");
  auto made = testutil::RunCommand("/usr/bin/convert -size 40x30 xc:blue '" +
                                   (folder / "sea.png").string() + "'");
  ASSERT_EQ(made.status, 0) << made.output;

  auto main = std::make_unique<TDPicPrint>();
  if (GetParam().showFirst) main->show();
  ASSERT_TRUE(main->SelectStartFolder(folder.string()));
  if (!GetParam().showFirst) main->show();
  QCoreApplication::processEvents();

  EXPECT_EQ(main->CtrlDir->SelectedFolder(), folder.string());
  QTreeWidgetItem* current = main->CtrlDir->currentItem();
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->text(0).toStdString(), "beach");
  ASSERT_NE(current->parent(), nullptr);
  EXPECT_TRUE(current->parent()->isExpanded());
  // The thumbnails show the folder, as after a click in the tree.
  ASSERT_NE(main->ThumbDisplay(), nullptr);
  EXPECT_TRUE(fs::equivalent(main->ThumbDisplay()->Folder, folder));
}

INSTANTIATE_TEST_SUITE_P(Start, StartFolderTest,
                         ::testing::Values(StartCase{"Shown", true}, StartCase{"NotYetShown", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StartFolder, AFolderThatIsGoneSelectsNothingNew) {
  testutil::QtApp();
  auto main = std::make_unique<TDPicPrint>();
  main->show();
  QCoreApplication::processEvents();
  const std::string before = main->CtrlDir->SelectedFolder();
  testutil::TempDir dir;
  EXPECT_FALSE(main->SelectStartFolder((dir.Path() / "not here").string()));
  EXPECT_NE(main->CtrlDir->SelectedFolder(), (dir.Path() / "not here").string());
}

}  // namespace
