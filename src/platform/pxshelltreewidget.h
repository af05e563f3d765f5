// The folder tree on screen: a Qt tree widget showing a TPxShellTree with
// the desktop's folder icons, reading folders as they are expanded, handing
// selections to the tree (whose OnChange the owner hooks) and watching the
// folders the tree holds with a QFileSystemWatcher, so that folders made,
// renamed or removed elsewhere show without a restart.
//
// Use: the owner hooks Tree().OnChange, which the tree raises after every
// change of the selected node (also when the tree fills itself on first
// showing, and with no node when the selected folder vanished), and reads
// SelectedFolder(), empty for nodes without a folder ("Computer").
// Tree().SelectPath(folder) selects a folder from code.
#pragma once

#include <QFileIconProvider>
#include <QFileSystemWatcher>
#include <QIcon>
#include <QObject>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "browse/pxfoldersource.h"
#include "browse/pxshelltree.h"

// Another folder source with watching added. Reports of one folder that
// come in a burst (a program writing many files) are gathered into one.
class TPxWatchedFolders : public QObject, public TPxFolderSource {
  Q_OBJECT

 public:
  explicit TPxWatchedFolders(std::unique_ptr<TPxFolderSource> inner, QObject* parent = nullptr);

  bool List(const std::string& path, const TPxListOptions& options,
            std::vector<TPxFolderEntry>& entries) override;
  bool HasSubfolders(const std::string& path, const TPxListOptions& options) override;
  TPxPlaces Places() override;
  void Watch(const std::string& path) override;
  void Unwatch(const std::string& path) override;

  TPxFolderSource& Inner() const { return *inner_; }
  QStringList WatchedPaths() const { return watcher_.directories(); }

 private:
  void Changed(const QString& path);
  void Deliver();

  std::unique_ptr<TPxFolderSource> inner_;
  QFileSystemWatcher watcher_;
  QTimer settle_;
  std::set<std::string> watching_;  // as given to Watch
  std::set<std::string> pending_;
};

class TPxShellTreeWidget : public QTreeWidget, public TPxShellTreeHost {
  Q_OBJECT

 public:
  // Shows the file system of this desktop.
  explicit TPxShellTreeWidget(QWidget* parent = nullptr);
  // Shows another folder source (owned), watched as the real one.
  explicit TPxShellTreeWidget(std::unique_ptr<TPxFolderSource> source, QWidget* parent = nullptr);
  ~TPxShellTreeWidget() override;

  // The tree's options, OnChange and operations.
  TPxShellTree& Tree() { return *tree_; }
  const TPxShellTree& Tree() const { return *tree_; }
  std::string SelectedFolder() const { return tree_->SelectedFolder(); }
  TPxWatchedFolders& Source() { return *source_; }

  QTreeWidgetItem* ItemOf(const TPxShellTreeNode* node) const;
  TPxShellTreeNode* NodeOf(const QTreeWidgetItem* item) const;

  // How often the drives, shares and user folders are looked at again: the
  // mount table cannot be watched like a folder. 0 stops it.
  void SetPlacesInterval(int ms);

  // TPxShellTreeHost
  void HostTreeReset() override;
  void HostChildrenChanged(TPxShellTreeNode& node) override;
  void HostExpandedChanged(TPxShellTreeNode& node) override;
  void HostSelectionChanged(TPxShellTreeNode* node) override;
  void HostBusy(bool busy) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Setup();
  QTreeWidgetItem* NewItem(TPxShellTreeNode& node);
  void Dress(QTreeWidgetItem* item, const TPxShellTreeNode& node);
  void SyncChildren(QTreeWidgetItem* item, TPxShellTreeNode& node);
  void Forget(QTreeWidgetItem* item);
  void ApplyExpansion(QTreeWidgetItem* item);
  QIcon IconFor(const TPxShellTreeNode& node) const;
  void ItemExpanded(QTreeWidgetItem* item);
  void ItemCollapsed(QTreeWidgetItem* item);
  void CurrentChanged(QTreeWidgetItem* current);

  std::unique_ptr<TPxWatchedFolders> source_;
  std::unique_ptr<TPxShellTree> tree_;
  // Shown nodes by id. A node the tree has just dropped stays here until its
  // parent is synced, and is never reached through this table meanwhile.
  struct Shown {
    QTreeWidgetItem* item;
    TPxShellTreeNode* node;
  };
  std::unordered_map<uint64_t, Shown> items_;
  QFileIconProvider icons_;
  QTimer places_;
  int placesMs_ = 3000;
  int busy_ = 0;
  bool syncing_ = false;  // the widget is being changed from the tree: no signals back
};
