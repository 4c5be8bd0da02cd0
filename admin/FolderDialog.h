// CFolderDialog: "虚拟目录", the name and path of one virtual folder, checked against the list it goes
// into before it closes with OK.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "admin/FolderList.h"

class QLineEdit;
class QPushButton;

namespace tw::admin {

class CFolderDialog : public QDialog {
public:
    // `editing`: the row whose name and path the dialog starts with; none for a new folder.
    CFolderDialog(const CFolderList& list, std::optional<int> editing, QWidget* parent = nullptr);

    // The accepted entry: the name trimmed, the path as stored.
    const std::string& Name() const { return name_; }
    const std::string& Dir() const { return dir_; }

    QLineEdit* NameEdit() const { return nameEdit_; }
    QLineEdit* PathEdit() const { return pathEdit_; }

    void accept() override;

private:
    const CFolderList& list_;
    std::optional<int> editing_;
    QLineEdit* nameEdit_;
    QLineEdit* pathEdit_;
    std::string name_, dir_;
};

}  // namespace tw::admin
