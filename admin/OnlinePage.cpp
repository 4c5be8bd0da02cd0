#include "admin/OnlinePage.h"

#include <QAction>
#include <QHeaderView>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "admin/AdminTexts.h"

namespace tw::admin {

void COnlineTableModel::Add(ThreadId thread, const std::string& user, const std::string& address, std::time_t when) {
    beginInsertRows({}, rows_.Size(), rows_.Size());
    rows_.Add(thread, user, address, when);
    endInsertRows();
}

void COnlineTableModel::RemoveConnection(ThreadId thread) {
    const std::vector<int> rows = rows_.RowsOf(thread);
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        beginRemoveRows({}, *it, *it);
        rows_.RemoveRow(*it);
        endRemoveRows();
    }
}

void COnlineTableModel::Clear() {
    beginResetModel();
    rows_.Clear();
    endResetModel();
}

int COnlineTableModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_.Size(); }

int COnlineTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant COnlineTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.Size() || role != Qt::DisplayRole) return {};
    const auto& row = rows_.At(index.row());
    switch (index.column()) {
    case 0:
        return QString::fromStdString(row.user);
    case 1:
        return QString::fromStdString(row.address);
    default:
        return QString::fromStdString(row.loginTime);
    }
}

QVariant COnlineTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const kColumns[] = {"用户", "IP地址", "登录时间"};
    return section >= 0 && section < 3 ? QString(kColumns[section]) : QVariant();
}

COnlinePage::COnlinePage(CAdminHost& host, QWidget* parent)
    : QWidget(parent), host_(host), view_(new QTreeView(this)) {
    view_->setModel(&model_);
    view_->setRootIsDecorated(false);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->header()->setSectionResizeMode(QHeaderView::Stretch);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);

    auto add = [this](const char* text, auto slot) {
        auto* action = new QAction(text, view_);
        connect(action, &QAction::triggered, this, slot);
        view_->addAction(action);
    };
    add(kClearAll, [this] { model_.Clear(); });
    add("把此IP地址加入IP过滤允许列表", [this] { AddFirstSelectedTo(CAdminHost::IpList::Allow); });
    add("把此IP地址加入IP过滤禁止列表", [this] { AddFirstSelectedTo(CAdminHost::IpList::Deny); });
    add("禁止此用户", [this] { BlockSelected(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
}

QList<QAction*> COnlinePage::MenuActions() const { return view_->actions(); }

std::vector<int> COnlinePage::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : view_->selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void COnlinePage::AddFirstSelectedTo(CAdminHost::IpList list) {
    const std::vector<int> rows = SelectedRows();
    if (!rows.empty()) host_.AddToList(list, model_.Rows().At(rows.front()).address);
}

void COnlinePage::BlockSelected() {
    // Posted, never waited for: the thread ends on its own and its disconnect removes the rows.
    for (int row : SelectedRows()) MessageLoop::PostThreadMessage(model_.Rows().At(row).thread, WM_QUIT);
}

}  // namespace tw::admin
