#include "platform/pxshelltreewidget.h"

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>

#include "browse/pxfilesystemfolders.h"

namespace {

// A burst of reports (a copy of many pictures) becomes one re-read.
constexpr int kSettleMs = 150;

QString ToQ(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
std::string FromQ(const QString& s) {
  return s.toUtf8().toStdString();
}

constexpr int kIdRole = Qt::UserRole + 1;

}  // namespace

TPxWatchedFolders::TPxWatchedFolders(std::unique_ptr<TPxFolderSource> inner, QObject* parent)
    : QObject(parent), inner_(std::move(inner)) {
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &TPxWatchedFolders::Changed);
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  connect(&settle_, &QTimer::timeout, this, &TPxWatchedFolders::Deliver);
}

bool TPxWatchedFolders::List(const std::string& path, const TPxListOptions& options,
                             std::vector<TPxFolderEntry>& entries) {
  return inner_->List(path, options, entries);
}

bool TPxWatchedFolders::HasSubfolders(const std::string& path, const TPxListOptions& options) {
  return inner_->HasSubfolders(path, options);
}

TPxPlaces TPxWatchedFolders::Places() {
  return inner_->Places();
}

void TPxWatchedFolders::Watch(const std::string& path) {
  if (!watching_.insert(path).second) return;
  // A folder that cannot be watched (gone, or the system's limit reached)
  // is simply not refreshed.
  if (QFileInfo(ToQ(path)).isDir()) watcher_.addPath(ToQ(path));
}

void TPxWatchedFolders::Unwatch(const std::string& path) {
  if (!watching_.erase(path)) return;
  pending_.erase(path);
  const QString q = ToQ(path);
  if (watcher_.directories().contains(q)) watcher_.removePath(q);
}

void TPxWatchedFolders::Changed(const QString& path) {
  const std::string p = FromQ(path);
  if (!watching_.count(p)) return;
  pending_.insert(p);
  settle_.start();
}

void TPxWatchedFolders::Deliver() {
  // The tree may unwatch some of these while it handles the others.
  const std::set<std::string> paths = std::move(pending_);
  pending_.clear();
  for (const std::string& p : paths) {
    if (!watching_.count(p)) continue;
    // A folder removed and made again under the same name is no longer
    // watched by the system: watch the new one.
    const QString q = ToQ(p);
    if (!watcher_.directories().contains(q) && QFileInfo(q).isDir()) watcher_.addPath(q);
    if (OnFolderChanged) OnFolderChanged(p);
  }
}

TPxShellTreeWidget::TPxShellTreeWidget(QWidget* parent)
    : TPxShellTreeWidget(std::make_unique<TPxFileSystemFolders>(), parent) {}

TPxShellTreeWidget::TPxShellTreeWidget(std::unique_ptr<TPxFolderSource> source, QWidget* parent)
    : QTreeWidget(parent),
      source_(std::make_unique<TPxWatchedFolders>(std::move(source))),
      tree_(std::make_unique<TPxShellTree>(*source_)) {
  Setup();
}

TPxShellTreeWidget::~TPxShellTreeWidget() {
  tree_->SetHost(nullptr);
  while (busy_ > 0) HostBusy(false);
}

void TPxShellTreeWidget::Setup() {
  tree_->SetHost(this);
  setColumnCount(1);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  setIndentation(tree_->Indent());
  setExpandsOnDoubleClick(true);
  connect(this, &QTreeWidget::itemExpanded, this, &TPxShellTreeWidget::ItemExpanded);
  connect(this, &QTreeWidget::itemCollapsed, this, &TPxShellTreeWidget::ItemCollapsed);
  connect(this, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) { CurrentChanged(current); });
  connect(&places_, &QTimer::timeout, this, [this] {
    if (tree_->AutomaticRefresh()) tree_->RefreshPlaces();
  });
  places_.setInterval(placesMs_);
}

void TPxShellTreeWidget::SetPlacesInterval(int ms) {
  placesMs_ = ms;
  places_.stop();
  if (ms <= 0) return;
  places_.setInterval(ms);
  if (tree_->Root()) places_.start();
}

void TPxShellTreeWidget::showEvent(QShowEvent* event) {
  QTreeWidget::showEvent(event);
  if (!tree_->Root() && !tree_->NoFillOnStartup()) {
    setIndentation(tree_->Indent());
    tree_->FillRoot();
  }
  if (tree_->Root() && placesMs_ > 0 && !places_.isActive()) places_.start();
}

QTreeWidgetItem* TPxShellTreeWidget::ItemOf(const TPxShellTreeNode* node) const {
  if (!node) return nullptr;
  const auto it = items_.find(node->Id());
  return it == items_.end() ? nullptr : it->second.item;
}

TPxShellTreeNode* TPxShellTreeWidget::NodeOf(const QTreeWidgetItem* item) const {
  if (!item) return nullptr;
  const auto it = items_.find(item->data(0, kIdRole).toULongLong());
  return it == items_.end() ? nullptr : it->second.node;
}

QIcon TPxShellTreeWidget::IconFor(const TPxShellTreeNode& node) const {
  const TPxShellTreeItem& item = node.Item();
  if (!item.IsFolder) return icons_.icon(QFileInfo(ToQ(item.Path)));
  const TPxShellTreeNode* parent = node.Parent();
  const TPxShellFolder parentKind = parent ? parent->Item().Kind : SF_FILESYSTEMFOLDER;
  const auto themed = [](const char* name, const QIcon& fallback) {
    return QIcon::fromTheme(QString::fromLatin1(name), fallback);
  };
  switch (item.Kind) {
    case SF_DESKTOP:
      return themed("user-desktop", icons_.icon(QAbstractFileIconProvider::Desktop));
    case SF_DRIVES:
      return themed("computer", icons_.icon(QAbstractFileIconProvider::Computer));
    case SF_NETWORK:
    case SF_NETHOOD:
      return themed("network-workgroup", icons_.icon(QAbstractFileIconProvider::Network));
    case SF_BITBUCKET:
      return themed("user-trash", icons_.icon(QAbstractFileIconProvider::Trashcan));
    default:
      break;
  }
  const QIcon folder = themed("folder", icons_.icon(QAbstractFileIconProvider::Folder));
  if (parentKind == SF_DRIVES)
    return themed(item.Path == "/" ? "drive-harddisk" : "drive-removable-media",
                  icons_.icon(QAbstractFileIconProvider::Drive));
  if (parentKind == SF_NETWORK)
    return themed("folder-remote", icons_.icon(QAbstractFileIconProvider::Network));
  if (parent && parentKind == SF_DESKTOP && item.Path == tree_->Places().Home)
    return themed("user-home", folder);
  switch (item.Kind) {
    case SF_MYPICTURES:
      return themed("folder-pictures", folder);
    case SF_PERSONAL:
      return themed("folder-documents", folder);
    case SF_TEMPLATES:
      return themed("folder-templates", folder);
    default:
      return folder;
  }
}

void TPxShellTreeWidget::Dress(QTreeWidgetItem* item, const TPxShellTreeNode& node) {
  const QString text = ToQ(node.Text());
  if (item->text(0) != text) item->setText(0, text);
  if (item->icon(0).isNull()) item->setIcon(0, IconFor(node));
  item->setToolTip(0, ToQ(node.Path()));
  // Hidden folders, when shown at all, are drawn dimmed.
  if (node.Item().Hidden)
    item->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
  item->setChildIndicatorPolicy(node.HasChildren() ? QTreeWidgetItem::ShowIndicator
                                                   : QTreeWidgetItem::DontShowIndicator);
}

QTreeWidgetItem* TPxShellTreeWidget::NewItem(TPxShellTreeNode& node) {
  auto* item = new QTreeWidgetItem();
  item->setData(0, kIdRole, QVariant::fromValue<qulonglong>(node.Id()));
  items_[node.Id()] = {item, &node};
  Dress(item, node);
  for (int i = 0; i < node.Count(); ++i) item->addChild(NewItem(*node.Child(i)));
  return item;
}

void TPxShellTreeWidget::Forget(QTreeWidgetItem* item) {
  items_.erase(item->data(0, kIdRole).toULongLong());
  for (int i = 0; i < item->childCount(); ++i) Forget(item->child(i));
}

void TPxShellTreeWidget::ApplyExpansion(QTreeWidgetItem* item) {
  const TPxShellTreeNode* node = NodeOf(item);
  if (!node) return;
  if (item->isExpanded() != node->Expanded()) item->setExpanded(node->Expanded());
  for (int i = 0; i < item->childCount(); ++i) ApplyExpansion(item->child(i));
}

void TPxShellTreeWidget::SyncChildren(QTreeWidgetItem* item, TPxShellTreeNode& node) {
  // Items of nodes that are gone go first; their node pointers are stale.
  std::set<uint64_t> wanted;
  for (int i = 0; i < node.Count(); ++i) wanted.insert(node.Child(i)->Id());
  for (int i = item->childCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* c = item->child(i);
    if (wanted.count(c->data(0, kIdRole).toULongLong())) continue;
    Forget(c);
    delete item->takeChild(i);
  }
  // Then the kept ones in the tree's order, new ones in their places. Kept
  // nodes stay in their relative order, so moves are rare.
  for (int i = 0; i < node.Count(); ++i) {
    TPxShellTreeNode* child = node.Child(i);
    QTreeWidgetItem* at = i < item->childCount() ? item->child(i) : nullptr;
    if (at && at->data(0, kIdRole).toULongLong() == child->Id()) {
      items_[child->Id()].node = child;
      Dress(at, *child);
      continue;
    }
    QTreeWidgetItem* existing = ItemOf(child);
    if (existing && existing->parent() == item) {
      item->insertChild(i, item->takeChild(item->indexOfChild(existing)));
      Dress(existing, *child);
      ApplyExpansion(existing);
    } else {
      item->insertChild(i, NewItem(*child));
      ApplyExpansion(item->child(i));
    }
  }
  Dress(item, node);
}

void TPxShellTreeWidget::HostTreeReset() {
  const bool was = syncing_;
  syncing_ = true;
  clear();
  items_.clear();
  if (TPxShellTreeNode* root = tree_->Root()) addTopLevelItem(NewItem(*root));
  syncing_ = was;
}

void TPxShellTreeWidget::HostChildrenChanged(TPxShellTreeNode& node) {
  QTreeWidgetItem* item = ItemOf(&node);
  if (!item) return;
  const bool was = syncing_;
  syncing_ = true;
  SyncChildren(item, node);
  // The view may have moved the current item while rows went: put it back.
  QTreeWidgetItem* selected = ItemOf(tree_->Selected());
  if (currentItem() != selected) setCurrentItem(selected);
  syncing_ = was;
}

void TPxShellTreeWidget::HostExpandedChanged(TPxShellTreeNode& node) {
  QTreeWidgetItem* item = ItemOf(&node);
  if (!item || item->isExpanded() == node.Expanded()) return;
  const bool was = syncing_;
  syncing_ = true;
  item->setExpanded(node.Expanded());
  syncing_ = was;
}

void TPxShellTreeWidget::HostSelectionChanged(TPxShellTreeNode* node) {
  QTreeWidgetItem* item = ItemOf(node);
  const bool was = syncing_;
  syncing_ = true;
  if (item) {
    setCurrentItem(item);
    scrollToItem(item);
  } else {
    clearSelection();
    setCurrentItem(nullptr);
  }
  syncing_ = was;
}

void TPxShellTreeWidget::HostBusy(bool busy) {
  if (busy) {
    if (busy_++ == 0) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      setUpdatesEnabled(false);
    }
  } else if (busy_ > 0 && --busy_ == 0) {
    setUpdatesEnabled(true);
    QApplication::restoreOverrideCursor();
  }
}

void TPxShellTreeWidget::ItemExpanded(QTreeWidgetItem* item) {
  if (syncing_) return;
  if (TPxShellTreeNode* node = NodeOf(item)) {
    tree_->Expand(node);
    // Nothing to show after all: fold the item back and drop its button.
    if (!node->Expanded()) HostExpandedChanged(*node);
  }
}

void TPxShellTreeWidget::ItemCollapsed(QTreeWidgetItem* item) {
  if (syncing_) return;
  if (TPxShellTreeNode* node = NodeOf(item)) tree_->Collapse(node);
}

void TPxShellTreeWidget::CurrentChanged(QTreeWidgetItem* current) {
  if (syncing_) return;
  tree_->Select(NodeOf(current));
}
