// CGroupEditor: "组", a group's name and notes and its virtual folders over a CGroupForm. "保存" closes the
// dialog only after the group was written.
#pragma once

#include <QDialog>
#include <optional>

#include "admin/AccountForms.h"

class QLineEdit;
class QTabWidget;

namespace tw::admin {

class CFolderPage;

class CGroupEditor : public QDialog {
public:
    // No groupId: a new group.
    CGroupEditor(CAccountStore& store, std::optional<int> groupId, QWidget* parent = nullptr);

    // False when the group could not be read; the dialog must not be shown then, LoadError says why.
    bool Loaded() const { return loadError_.isEmpty(); }
    QString LoadError() const { return loadError_; }
    std::optional<int> GroupId() const { return form_.Id(); }

    QTabWidget* Tabs() const { return tabs_; }
    CFolderPage* FolderPage() const { return folderPage_; }

    void accept() override;

private:
    CGroupForm form_;
    QString loadError_;
    QTabWidget* tabs_;
    QLineEdit* name_;
    QLineEdit* notes_;
    CFolderPage* folderPage_;
};

}  // namespace tw::admin
