#include "browse/pxshelltree.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "browse/pxnames.h"

namespace {

// Paths are compared without trailing separators ("/media/usb/" is "/media/usb").
std::string Normal(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A path given from outside, with "." and ".." resolved as text.
std::string Given(const std::string& path) {
  return Normal(std::filesystem::path(path).lexically_normal().string());
}

// Whether path lies in folder or is it, both normal.
bool Within(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  if (folder == "/") return path[0] == '/';
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string Join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string BaseName(const std::string& path) {
  const std::string n = Normal(path);
  const size_t slash = n.find_last_of('/');
  return (slash == std::string::npos || n == "/") ? n : n.substr(slash + 1);
}

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// * matches any run, ? one byte; greedy with one backtrack point, so linear
// enough for file names.
bool Wildcard(const std::string& name, const std::string& pattern) {
  size_t n = 0, p = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchesFilter(const std::string& name, const std::string& filter) {
  size_t start = 0;
  while (start <= filter.size()) {
    size_t end = filter.find(';', start);
    if (end == std::string::npos) end = filter.size();
    const std::string pattern = filter.substr(start, end - start);
    if (!pattern.empty() && Wildcard(name, pattern)) return true;
    start = end + 1;
  }
  return false;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i)
    if (i >= s.size() || Lower(s[i]) != Lower(prefix[i])) return false;
  return true;
}

// Children are matched across a re-read by path, virtual ones by kind and name.
std::string Key(const TPxShellTreeItem& item) {
  if (!item.Path.empty()) return "p" + Normal(item.Path);
  return "v" + std::to_string(item.Kind) + "/" + item.Name;
}

}  // namespace

int TPxShellTreeNode::Index() const {
  if (!parent_) return 0;
  for (int i = 0; i < parent_->Count(); ++i)
    if (parent_->Child(i) == this) return i;
  return -1;
}

TPxShellTree::TPxShellTree(TPxFolderSource& source) : source_(source) {
  source_.OnFolderChanged = [this](const std::string& path) { FolderChanged(path); };
}

TPxShellTree::~TPxShellTree() {
  if (root_) Forget(*root_);
  source_.OnFolderChanged = nullptr;
}

bool TPxShellTree::Passes(const TPxShellTreeItem& item) const {
  if (item.Hidden && !showHidden_) return false;
  if ((item.Kind == SF_NETHOOD || item.Kind == SF_NETWORK) && !showNethood_) return false;
  if (!showRecycleBin_ &&
      (item.Kind == SF_BITBUCKET || (item.Hidden && StartsWithNoCase(item.Name, "RECYCL"))))
    return false;
  if (fileSystemOnly_ && item.Path.empty()) return false;
  if (item.IsFolder) return true;
  return showFiles_ && MatchesFilter(item.Name, filter_);
}

void TPxShellTree::SetAutomaticRefresh(bool v) {
  if (v == automaticRefresh_) return;
  if (!v) {
    for (const auto& w : watched_) source_.Unwatch(w.first);
    watched_.clear();
    automaticRefresh_ = false;
    return;
  }
  automaticRefresh_ = true;
  std::vector<const TPxShellTreeNode*> stack;
  if (root_) stack.push_back(root_.get());
  while (!stack.empty()) {
    const TPxShellTreeNode* n = stack.back();
    stack.pop_back();
    if (n->loaded_) WatchNode(*n);
    for (const auto& c : n->children_) stack.push_back(c.get());
  }
}

TPxShellTreeItem TPxShellTree::RootItem(const TPxPlaces& places) const {
  switch (rootedAt_) {
    case SF_FILESYSTEMFOLDER: {
      const bool has = source_.HasSubfolders(rootFolder_, ListOptions());
      return {BaseName(rootFolder_), rootFolder_, SF_FILESYSTEMFOLDER, true, false, has};
    }
    case SF_DRIVES:
      return {"Computer", "", SF_DRIVES, true, false, true};
    case SF_NETWORK:
    case SF_NETHOOD:
      return {"Network", "", SF_NETWORK, true, false, !places.Shares.empty()};
    case SF_BITBUCKET:
      if (!places.Trash.empty())
        return {"Trash", places.Trash, SF_BITBUCKET,
                true,    false,        source_.HasSubfolders(places.Trash, ListOptions())};
      break;
    default:
      for (const TPxPlace& p : places.UserFolders)
        if (p.Kind == rootedAt_)
          return {p.Name, p.Path, p.Kind,
                  true,   false,  source_.HasSubfolders(p.Path, ListOptions())};
      break;
  }
  // The desktop, also for special folders this desktop does not have.
  return {"Desktop", places.Desktop, SF_DESKTOP, true, false, true};
}

std::vector<TPxShellTreeItem> TPxShellTree::FolderChildren(const std::string& path) {
  std::vector<TPxFolderEntry> entries;
  if (!source_.List(path, ListOptions(), entries))
    return {};  // unreadable: no children, no message
  std::vector<TPxShellTreeItem> items;
  items.reserve(entries.size());
  for (TPxFolderEntry& e : entries) {
    TPxShellTreeItem item;
    item.Path = Join(path, e.Name);
    item.Name = std::move(e.Name);
    item.IsFolder = e.IsFolder;
    item.Hidden = e.Hidden;
    item.HasSubfolders = e.IsFolder && e.HasSubfolders;
    items.push_back(std::move(item));
  }
  // Folders before files, each as a person reads the names.
  std::sort(items.begin(), items.end(), [](const TPxShellTreeItem& a, const TPxShellTreeItem& b) {
    if (a.IsFolder != b.IsFolder) return a.IsFolder;
    return PxNameLess(a.Name, b.Name);
  });
  return items;
}

const TPxPlaces& TPxShellTree::ReadPlaces() {
  places_ = source_.Places();
  return places_;
}

std::vector<TPxShellTreeItem> TPxShellTree::RootChildren() {
  const TPxPlaces& places = ReadPlaces();
  const TPxListOptions options = ListOptions();
  std::vector<TPxShellTreeItem> items;
  items.push_back({"Home", places.Home, SF_FILESYSTEMFOLDER, true, false,
                   source_.HasSubfolders(places.Home, options)});
  for (const TPxPlace& p : places.UserFolders)
    items.push_back({p.Name, p.Path, p.Kind, true, false, source_.HasSubfolders(p.Path, options)});
  items.push_back({"Computer", "", SF_DRIVES, true, false, true});
  if (!places.Shares.empty()) items.push_back({"Network", "", SF_NETWORK, true, false, true});
  if (!places.Trash.empty())
    items.push_back({"Trash", places.Trash, SF_BITBUCKET, true, false,
                     source_.HasSubfolders(places.Trash, options)});
  // Then what lies on the desktop itself, unless the desktop is the home
  // folder, whose content is already under "Home".
  if (Normal(places.Desktop) != Normal(places.Home)) {
    std::vector<TPxShellTreeItem> own = FolderChildren(places.Desktop);
    items.insert(items.end(), std::make_move_iterator(own.begin()),
                 std::make_move_iterator(own.end()));
  }
  return items;
}

std::vector<TPxShellTreeItem> TPxShellTree::ReadChildren(const TPxShellTreeNode& node) {
  std::vector<TPxShellTreeItem> items;
  const TPxShellFolder kind = node.item_.Kind;
  if (kind == SF_DESKTOP) {
    items = RootChildren();
  } else if (kind == SF_DRIVES) {
    for (const TPxPlace& d : source_.Places().Drives)
      items.push_back(
          {d.Name, d.Path, d.Kind, true, false, source_.HasSubfolders(d.Path, ListOptions())});
  } else if (kind == SF_NETWORK) {
    // Shares are not looked into before they are expanded: each look is a
    // round trip to a server that may not answer.
    for (const TPxPlace& s : source_.Places().Shares)
      items.push_back({s.Name, s.Path, s.Kind, true, false, true});
  } else if (!node.item_.Path.empty()) {
    items = FolderChildren(node.item_.Path);
  }
  std::vector<TPxShellTreeItem> kept;
  kept.reserve(items.size());
  for (TPxShellTreeItem& item : items) {
    if (!Passes(item)) continue;
    bool canAdd = true;
    if (OnAddFolder) OnAddFolder(this, item, canAdd);
    if (canAdd) kept.push_back(std::move(item));
  }
  return kept;
}

std::unique_ptr<TPxShellTreeNode> TPxShellTree::NewNode(TPxShellTreeNode* parent,
                                                        TPxShellTreeItem item) {
  return std::make_unique<TPxShellTreeNode>(parent, std::move(item), nextId_++);
}

void TPxShellTree::WatchNode(const TPxShellTreeNode& node) {
  if (!automaticRefresh_ || node.item_.Path.empty()) return;
  const std::string path = Normal(node.item_.Path);
  if (watched_[path]++ == 0) source_.Watch(path);
}

void TPxShellTree::UnwatchNode(const TPxShellTreeNode& node) {
  if (!automaticRefresh_ || node.item_.Path.empty()) return;
  const auto it = watched_.find(Normal(node.item_.Path));
  if (it == watched_.end()) return;
  if (--it->second == 0) {
    const std::string path = it->first;
    watched_.erase(it);
    source_.Unwatch(path);
  }
}

std::vector<std::string> TPxShellTree::WatchedFolders() const {
  std::vector<std::string> paths;
  for (const auto& w : watched_) paths.push_back(w.first);
  return paths;
}

void TPxShellTree::Forget(TPxShellTreeNode& node) {
  if (selected_ == &node) selected_ = nullptr;
  if (node.loaded_) UnwatchNode(node);
  for (auto& c : node.children_) Forget(*c);
}

void TPxShellTree::Load(TPxShellTreeNode& node) {
  if (host_) host_->HostBusy(true);
  Merge(node, ReadChildren(node));
  if (host_) host_->HostBusy(false);
}

void TPxShellTree::Merge(TPxShellTreeNode& node, std::vector<TPxShellTreeItem> items) {
  std::map<std::string, std::unique_ptr<TPxShellTreeNode>> old;
  std::vector<std::unique_ptr<TPxShellTreeNode>> twins;  // a second node of one key is not kept
  for (auto& c : node.children_) {
    std::unique_ptr<TPxShellTreeNode>& slot = old[Key(c->item_)];
    if (slot)
      twins.push_back(std::move(c));
    else
      slot = std::move(c);
  }
  node.children_.clear();
  node.children_.reserve(items.size());
  for (TPxShellTreeItem& item : items) {
    const auto it = old.find(Key(item));
    if (it == old.end()) {
      node.children_.push_back(NewNode(&node, std::move(item)));
      continue;
    }
    std::unique_ptr<TPxShellTreeNode> kept = std::move(it->second);
    old.erase(it);
    kept->item_ = std::move(item);
    node.children_.push_back(std::move(kept));
  }
  const TPxShellTreeNode* wasSelected = selected_;
  for (auto& gone : old)
    if (gone.second) Forget(*gone.second);
  for (auto& twin : twins) Forget(*twin);
  old.clear();
  twins.clear();
  if (!node.loaded_) {
    node.loaded_ = true;
    WatchNode(node);
  }
  const bool collapsed = node.expanded_ && node.children_.empty();
  if (collapsed) node.expanded_ = false;
  if (host_) {
    host_->HostChildrenChanged(node);
    if (collapsed) host_->HostExpandedChanged(node);
  }
  if (wasSelected && !selected_) {
    if (host_) host_->HostSelectionChanged(nullptr);
    if (OnChange) OnChange(this, nullptr);
  }
}

void TPxShellTree::Clear() {
  const bool hadSelection = selected_ != nullptr;
  if (root_) Forget(*root_);
  root_.reset();
  selected_ = nullptr;
  if (host_) host_->HostTreeReset();
  if (hadSelection && OnChange) OnChange(this, nullptr);
}

void TPxShellTree::FillRoot() {
  Clear();
  root_ = NewNode(nullptr, RootItem(ReadPlaces()));
  if (host_) host_->HostTreeReset();
  Expand(root_.get());
  TPxShellTreeNode* first = root_.get();
  if (specialFolder_ != rootedAt_)
    for (const auto& c : root_->children_)
      if (c->item_.Kind == specialFolder_) {
        first = c.get();
        break;
      }
  Select(first);
}

void TPxShellTree::Expand(TPxShellTreeNode* node) {
  if (!node) return;
  if (!node->loaded_ || node->children_.empty()) Load(*node);
  if (node->expanded_ || node->children_.empty()) return;
  node->expanded_ = true;
  if (host_) host_->HostExpandedChanged(*node);
}

void TPxShellTree::Collapse(TPxShellTreeNode* node) {
  if (!node || !node->expanded_) return;
  node->expanded_ = false;
  if (host_) host_->HostExpandedChanged(*node);
}

void TPxShellTree::Select(TPxShellTreeNode* node) {
  if (node == selected_) return;
  selected_ = node;
  if (node && expandOnSelected_) Expand(node);
  if (host_) host_->HostSelectionChanged(selected_);
  if (OnChange) OnChange(this, selected_);
}

std::string TPxShellTree::SelectedFolder() const {
  if (!selected_) return {};
  // Virtual nodes ("Computer", "Network") stand for no folder of their own.
  return selected_->item_.Path;
}

bool TPxShellTree::SelectPath(const std::string& path) {
  if (!root_ || path.empty()) return false;
  const std::string target = Given(path);
  TPxShellTreeNode* node = root_.get();
  for (;;) {
    if (!node->item_.Path.empty() && Normal(node->item_.Path) == target) {
      Select(node);
      return true;
    }
    if (!node->loaded_) Load(*node);
    // The child whose folder holds the target most closely; the children of
    // virtual nodes ("Computer") are looked at in their place.
    TPxShellTreeNode* best = nullptr;
    TPxShellTreeNode* via = nullptr;
    size_t bestLength = 0;
    const auto consider = [&](TPxShellTreeNode* c, TPxShellTreeNode* parent) {
      const std::string p = Normal(c->item_.Path);
      if (Within(target, p) && (!best || p.size() > bestLength)) {
        best = c;
        via = parent;
        bestLength = p.size();
      }
    };
    for (const auto& c : node->children_) {
      if (!c->item_.Path.empty()) {
        consider(c.get(), nullptr);
        continue;
      }
      if (!c->loaded_) Load(*c);
      for (const auto& g : c->children_) consider(g.get(), c.get());
    }
    if (!best) return false;
    Expand(node);
    if (via) Expand(via);
    node = best;
  }
}

void TPxShellTree::CollectByPath(TPxShellTreeNode& node, const std::string& path,
                                 std::vector<TPxShellTreeNode*>& found) const {
  if (!node.loaded_) return;
  if (!node.item_.Path.empty() && Normal(node.item_.Path) == path) found.push_back(&node);
  for (auto& c : node.children_) CollectByPath(*c, path, found);
}

TPxShellTreeNode* TPxShellTree::FindNode(const std::string& path) const {
  if (!root_) return nullptr;
  const std::string target = Given(path);
  std::vector<TPxShellTreeNode*> stack = {root_.get()};
  while (!stack.empty()) {
    TPxShellTreeNode* n = stack.back();
    stack.pop_back();
    if (!n->item_.Path.empty() && Normal(n->item_.Path) == target) return n;
    for (auto c = n->children_.rbegin(); c != n->children_.rend(); ++c) stack.push_back(c->get());
  }
  return nullptr;
}

void TPxShellTree::FolderChanged(const std::string& path) {
  if (!root_) return;
  const std::string target = Normal(path);
  std::vector<TPxShellTreeNode*> found;
  CollectByPath(*root_, target, found);
  // Re-reading one node may drop another of the list (a folder reached by
  // two ways, one inside the other): look each up again by its id.
  std::vector<uint64_t> ids;
  for (const TPxShellTreeNode* n : found) ids.push_back(n->id_);
  for (const uint64_t id : ids) {
    found.clear();
    CollectByPath(*root_, target, found);
    const auto it = std::find_if(found.begin(), found.end(),
                                 [id](const TPxShellTreeNode* n) { return n->id_ == id; });
    if (it == found.end()) continue;
    TPxShellTreeNode& node = **it;
    Merge(node, ReadChildren(node));
    if (OnUpdatedFolder) OnUpdatedFolder(this, &node);
  }
}

void TPxShellTree::RefreshPlaces() {
  if (!root_) return;
  const TPxPlaces before = places_;
  if (ReadPlaces() == before) return;
  std::vector<uint64_t> ids;
  std::vector<TPxShellTreeNode*> stack = {root_.get()};
  while (!stack.empty()) {
    TPxShellTreeNode* n = stack.back();
    stack.pop_back();
    const TPxShellFolder k = n->item_.Kind;
    if (n->loaded_ && (k == SF_DESKTOP || k == SF_DRIVES || k == SF_NETWORK)) ids.push_back(n->id_);
    for (auto& c : n->children_) stack.push_back(c.get());
  }
  for (const uint64_t id : ids) {
    stack = {root_.get()};
    TPxShellTreeNode* node = nullptr;
    while (!stack.empty() && !node) {
      TPxShellTreeNode* n = stack.back();
      stack.pop_back();
      if (n->id_ == id) node = n;
      for (auto& c : n->children_) stack.push_back(c.get());
    }
    if (node) Merge(*node, ReadChildren(*node));
  }
}
