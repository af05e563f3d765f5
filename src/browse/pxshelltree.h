// TPxShellTree: the folder tree's logic. A tree of folder nodes rooted at
// the desktop, filled lazily from a folder source (TPxFolderSource): the
// desktop's children are the home folder, the user's folders, "Computer"
// with "/" and the drives, "Network" with the mounted shares and "Trash",
// then the desktop folder's own subfolders; below them the file-system
// folders, sorted as a person reads names. It tells its host (the widget
// that shows it) what changed and its owner which node was selected.
//
// Plain C++, one thread (the user-interface thread); change notifications
// of the source are expected on that thread too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "browse/pxfoldersource.h"

// What a node stands for.
struct TPxShellTreeItem {
  std::string Name;  // display name, the node's text
  std::string Path;  // file-system path; empty for virtual items ("Computer", "Network")
  TPxShellFolder Kind = SF_FILESYSTEMFOLDER;  // the special folder it is, if any
  bool IsFolder = true;
  bool Hidden = false;
  bool HasSubfolders = false;
};

class TPxShellTree;

class TPxShellTreeNode {
 public:
  TPxShellTreeNode(TPxShellTreeNode* parent, TPxShellTreeItem item, uint64_t id)
      : parent_(parent), item_(std::move(item)), id_(id) {}

  const TPxShellTreeItem& Item() const { return item_; }
  const std::string& Text() const { return item_.Name; }
  const std::string& Path() const { return item_.Path; }
  TPxShellTreeNode* Parent() const { return parent_; }
  int Count() const { return static_cast<int>(children_.size()); }
  TPxShellTreeNode* Child(int i) const { return children_[static_cast<size_t>(i)].get(); }
  int Index() const;  // among the parent's children; 0 for the root
  // Whether the node shows an expand button: before its first expansion,
  // what the source said; after it, whether it received children.
  bool HasChildren() const { return loaded_ ? !children_.empty() : item_.HasSubfolders; }
  bool Expanded() const { return expanded_; }
  bool Loaded() const { return loaded_; }  // its children have been read
  // Unique for the life of the tree, unlike addresses, which a new node may reuse.
  uint64_t Id() const { return id_; }

 private:
  friend class TPxShellTree;
  TPxShellTreeNode* parent_;
  TPxShellTreeItem item_;
  uint64_t id_;
  bool loaded_ = false;
  bool expanded_ = false;
  std::vector<std::unique_ptr<TPxShellTreeNode>> children_;
};

// What the tree tells the widget that shows it. Each call comes after the
// tree has changed.
class TPxShellTreeHost {
 public:
  virtual ~TPxShellTreeHost() = default;
  // The tree was emptied or given a new root.
  virtual void HostTreeReset() = 0;
  // A node's children changed (read, re-read, dropped) or its text or
  // expand button did; nodes kept keep their ids.
  virtual void HostChildrenChanged(TPxShellTreeNode& node) = 0;
  virtual void HostExpandedChanged(TPxShellTreeNode& node) = 0;
  // The selected node changed (null: none).
  virtual void HostSelectionChanged(TPxShellTreeNode* node) = 0;
  // Reading a folder may take a while: the host may show that it is busy.
  virtual void HostBusy(bool /*busy*/) {}
};

using TPxShellTreeChangeEvent = std::function<void(TPxShellTree* sender, TPxShellTreeNode* node)>;
// Asked for each item about to become a node; canAdd false leaves it out.
using TPxShellTreeAddFolderEvent =
    std::function<void(TPxShellTree* sender, const TPxShellTreeItem& item, bool& canAdd)>;

class TPxShellTree {
 public:
  // The source is not owned and must outlive the tree. The tree takes the
  // source's OnFolderChanged.
  explicit TPxShellTree(TPxFolderSource& source);
  ~TPxShellTree();
  TPxShellTree(const TPxShellTree&) = delete;
  TPxShellTree& operator=(const TPxShellTree&) = delete;

  void SetHost(TPxShellTreeHost* host) { host_ = host; }

  // Options. Changing one takes effect at the next FillRoot.
  TPxShellFolder RootedAt() const { return rootedAt_; }
  void SetRootedAt(TPxShellFolder v) { rootedAt_ = v; }
  // The folder of a tree rooted at SF_FILESYSTEMFOLDER.
  const std::string& RootedAtFileSystemFolder() const { return rootFolder_; }
  void SetRootedAtFileSystemFolder(const std::string& v) { rootFolder_ = v; }
  // The special folder selected when the tree is filled (the root when no
  // node of the root's children is that folder).
  TPxShellFolder SpecialFolder() const { return specialFolder_; }
  void SetSpecialFolder(TPxShellFolder v) { specialFolder_ = v; }
  bool ShowFiles() const { return showFiles_; }
  void SetShowFiles(bool v) { showFiles_ = v; }
  bool ShowHidden() const { return showHidden_; }
  void SetShowHidden(bool v) { showHidden_ = v; }
  bool ShowNethood() const { return showNethood_; }
  void SetShowNethood(bool v) { showNethood_ = v; }
  bool ShowRecycleBin() const { return showRecycleBin_; }
  void SetShowRecycleBin(bool v) { showRecycleBin_ = v; }
  // Stored only: the tree shows no messages, a folder it cannot read simply
  // has no children.
  bool ShowErrorMessages() const { return showErrorMessages_; }
  void SetShowErrorMessages(bool v) { showErrorMessages_ = v; }
  // Only nodes with a file-system path: leaves out "Computer" and "Network".
  bool FileSystemOnly() const { return fileSystemOnly_; }
  void SetFileSystemOnly(bool v) { fileSystemOnly_ = v; }
  // Selecting a node also expands it.
  bool ExpandOnSelected() const { return expandOnSelected_; }
  void SetExpandOnSelected(bool v) { expandOnSelected_ = v; }
  // The host does not fill the tree when first shown; FillRoot does.
  bool NoFillOnStartup() const { return noFillOnStartup_; }
  void SetNoFillOnStartup(bool v) { noFillOnStartup_ = v; }
  // Folders whose children the tree holds are watched for changes.
  bool AutomaticRefresh() const { return automaticRefresh_; }
  void SetAutomaticRefresh(bool v);
  // Names of the files listed while ShowFiles is on: patterns with * and ?,
  // separated by ";", compared without regard to case.
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& v) { filter_ = v; }
  // Shown by the host.
  bool HideSelection() const { return hideSelection_; }
  void SetHideSelection(bool v) { hideSelection_ = v; }
  int Indent() const { return indent_; }
  void SetIndent(int v) { indent_ = v; }

  // Raised after the selected node changed, by the user or by the tree.
  TPxShellTreeChangeEvent OnChange;
  TPxShellTreeAddFolderEvent OnAddFolder;
  // Raised after a node's children were re-read because they changed.
  TPxShellTreeChangeEvent OnUpdatedFolder;

  // Empties the tree, adds the root, expands it one level and selects the
  // special folder (which raises OnChange).
  void FillRoot();
  void Clear();
  TPxShellTreeNode* Root() const { return root_.get(); }

  // Reads the node's children the first time, or again while it has none.
  void Expand(TPxShellTreeNode* node);
  // Keeps the children, which stay watched and current.
  void Collapse(TPxShellTreeNode* node);
  // Null clears the selection. Raises OnChange when the selection changes.
  void Select(TPxShellTreeNode* node);
  TPxShellTreeNode* Selected() const { return selected_; }

  // The file-system path of the selected node: the desktop folder for the
  // desktop, a drive's root ending in "/", empty for "Computer", "Network"
  // and for no selection.
  std::string SelectedFolder() const;

  // Expands the tree down to a folder and selects it; false (nothing
  // selected) when no path of nodes leads there, as for hidden folders.
  bool SelectPath(const std::string& path);
  // The first node held for a file-system path, searching only read nodes.
  TPxShellTreeNode* FindNode(const std::string& path) const;

  // The entries of a watched folder changed: the nodes held for it re-read
  // their children. Nodes still there keep their children, expansion and
  // selection; nodes of folders gone are dropped (the selection, if on one
  // of them, is cleared first).
  void FolderChanged(const std::string& path);
  // Re-reads the places (user folders, drives, shares, trash) and, when
  // they changed, updates the root, "Computer" and "Network" where read.
  void RefreshPlaces();
  // The places as the root last read them.
  const TPxPlaces& Places() const { return places_; }

  // Item filter: whether an item becomes a node under the current options.
  bool Passes(const TPxShellTreeItem& item) const;

  // The folders being watched now, for tests and hosts.
  std::vector<std::string> WatchedFolders() const;

 private:
  std::vector<TPxShellTreeItem> ReadChildren(const TPxShellTreeNode& node);
  std::vector<TPxShellTreeItem> RootChildren();
  const TPxPlaces& ReadPlaces();
  std::vector<TPxShellTreeItem> FolderChildren(const std::string& path);
  void Load(TPxShellTreeNode& node);
  void Merge(TPxShellTreeNode& node, std::vector<TPxShellTreeItem> items);
  std::unique_ptr<TPxShellTreeNode> NewNode(TPxShellTreeNode* parent, TPxShellTreeItem item);
  void Forget(TPxShellTreeNode& node);  // before a node and its subtree go
  void WatchNode(const TPxShellTreeNode& node);
  void UnwatchNode(const TPxShellTreeNode& node);
  void CollectByPath(TPxShellTreeNode& node, const std::string& path,
                     std::vector<TPxShellTreeNode*>& found) const;
  TPxListOptions ListOptions() const { return {showFiles_, showHidden_}; }
  TPxShellTreeItem RootItem(const TPxPlaces& places) const;

  TPxFolderSource& source_;
  TPxShellTreeHost* host_ = nullptr;
  std::unique_ptr<TPxShellTreeNode> root_;
  TPxShellTreeNode* selected_ = nullptr;
  uint64_t nextId_ = 1;
  std::map<std::string, int> watched_;
  TPxPlaces places_;  // path -> nodes holding children read from it

  TPxShellFolder rootedAt_ = SF_DESKTOP;
  std::string rootFolder_;
  TPxShellFolder specialFolder_ = SF_DESKTOP;
  bool showFiles_ = false;
  bool showHidden_ = false;
  bool showNethood_ = true;
  bool showRecycleBin_ = true;
  bool showErrorMessages_ = false;
  bool fileSystemOnly_ = false;
  bool expandOnSelected_ = false;
  bool noFillOnStartup_ = false;
  bool automaticRefresh_ = true;
  std::string filter_ = "*";
  bool hideSelection_ = false;
  int indent_ = 19;
};
