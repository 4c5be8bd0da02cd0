// CGroupSelectDialog: "组选择", every group's name to choose from (several at once).
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "accounts/AccountStore.h"

class QListWidget;

namespace tw::admin {

class CGroupSelectDialog : public QDialog {
public:
    // A group table that does not open shows an empty list.
    explicit CGroupSelectDialog(const CAccountStore& store, QWidget* parent = nullptr);

    // The selected names in list order.
    std::vector<std::string> Chosen() const;
    QListWidget* List() const { return list_; }

private:
    QListWidget* list_;
};

}  // namespace tw::admin
