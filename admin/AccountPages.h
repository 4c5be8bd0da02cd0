// The "用户" and "组" pages: the accounts of user.sdb and group.sdb, listed read-only for now.
#pragma once

#include <QWidget>
#include <string>

class QPushButton;
class QTreeWidget;

namespace tw::admin {

class CUsersPage : public QWidget {
public:
    explicit CUsersPage(std::string programDir, QWidget* parent = nullptr);
    // Reads the tables afresh; a table that does not open shows an empty list.
    void Refresh();
    QTreeWidget* List() const { return list_; }

private:
    std::string programDir_;
    QTreeWidget* list_;
};

class CGroupsPage : public QWidget {
public:
    explicit CGroupsPage(std::string programDir, QWidget* parent = nullptr);
    void Refresh();
    QTreeWidget* List() const { return list_; }

private:
    std::string programDir_;
    QTreeWidget* list_;
};

}  // namespace tw::admin
