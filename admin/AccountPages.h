// The "用户" and "组" pages: the accounts of user.sdb and group.sdb, read afresh whenever a page is shown or
// refreshed, sortable by column and narrowed by a filter field as one types; they open the editors and
// delete accounts through the account library.
#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/AccountStore.h"
#include "admin/AccountRows.h"

class QLabel;
class QVBoxLayout;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace tw::admin {

// A list of accounts with its filter field, its status line and a column of buttons.
class CAccountListPage : public QWidget {
public:
    void Refresh();
    QTreeWidget* List() const { return list_; }
    QLineEdit* Filter() const { return filter_; }
    // Empty, or "无法读取 <file>" when a table could not be read.
    QLabel* Status() const { return status_; }

protected:
    // `listName` names the list for a screen reader; the filter field is "筛选" + listName.
    CAccountListPage(std::string programDir, const QStringList& columns, const QString& listName, QWidget* parent);
    // Adds the buttons beside the list, in order; an empty action makes the button call Refresh.
    void AddButton(const QString& text, std::function<void()> action);
    // The rows to show; returns the path of a table that could not be read, or "".
    virtual std::string Load(std::vector<AccountRow>& rows) = 0;
    // The id of the selected row, or nothing.
    std::optional<int> SelectedId() const;
    // Double click or Enter on a row, and the Delete key.
    virtual void EditSelected() = 0;
    virtual void DeleteSelected() = 0;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    CAccountStore store_;

private:
    void ApplyFilter();

    std::vector<AccountRow> rows_;  // as last loaded; the items show them
    QLineEdit* filter_;
    QTreeWidget* list_;
    QLabel* status_;
    QVBoxLayout* buttons_;
};

class CUsersPage : public CAccountListPage {
public:
    explicit CUsersPage(std::string programDir, QWidget* parent = nullptr);
    void AddUser();

private:
    void EditSelected() override;
    void DeleteSelected() override;
    std::string Load(std::vector<AccountRow>& rows) override;
};

class CGroupsPage : public CAccountListPage {
public:
    explicit CGroupsPage(std::string programDir, QWidget* parent = nullptr);
    void AddGroup();

private:
    void EditSelected() override;
    void DeleteSelected() override;
    std::string Load(std::vector<AccountRow>& rows) override;
};

}  // namespace tw::admin
