// COnlinePage: the "在线用户" page, one row per USER of a live connection, and menu 143 acting on the
// selected rows.
#pragma once

#include <QAbstractTableModel>
#include <QWidget>

#include "admin/AdminHost.h"
#include "admin/OnlineListModel.h"

class QAction;
class QTreeView;

namespace tw::admin {

// Shows a COnlineListModel; rows come and go one by one, so the selection of the others is kept.
class COnlineTableModel : public QAbstractTableModel {
public:
    void Add(ThreadId thread, const std::string& user, const std::string& address, std::time_t when);
    void RemoveConnection(ThreadId thread);
    void Clear();
    const COnlineListModel& Rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    COnlineListModel rows_;
};

class COnlinePage : public QWidget {
public:
    COnlinePage(CAdminHost& host, QWidget* parent = nullptr);

    COnlineTableModel& Model() { return model_; }
    QTreeView* View() const { return view_; }
    // Menu 143, in its order: clear all, allow list, deny list, block this user.
    QList<QAction*> MenuActions() const;

private:
    // The selected rows, ascending.
    std::vector<int> SelectedRows() const;
    void AddFirstSelectedTo(CAdminHost::IpList list);
    void BlockSelected();

    CAdminHost& host_;
    COnlineTableModel model_;
    QTreeView* view_;
};

}  // namespace tw::admin
