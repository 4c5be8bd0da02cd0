// CUserEditor: "用户帐号", one user's account, virtual folders and limits over a CUserForm. "保存" closes
// the dialog only after the user was written; a refused or failed save leaves everything as typed.
#pragma once

#include <QDialog>
#include <QPointer>
#include <optional>

#include "admin/AccountForms.h"

class QCheckBox;
class QDateEdit;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace tw::admin {

class CFolderPage;
class CGroupSelectDialog;
class CRightsBoxes;

class CUserEditor : public QDialog {
public:
    // No userId: a new user, the home field prefilled with defaultHome.
    CUserEditor(CAccountStore& store, std::optional<int> userId, const QString& defaultHome, QWidget* parent = nullptr);

    // False when the user could not be read (deleted meanwhile, a damaged table); the dialog must not be
    // shown then, and LoadError says why.
    bool Loaded() const { return loadError_.isEmpty(); }
    QString LoadError() const { return loadError_; }
    // The id of the user, a new one's once it was saved.
    std::optional<int> UserId() const { return form_.Id(); }

    QTabWidget* Tabs() const { return tabs_; }
    CRightsBoxes* AccountRights() const { return rights_; }
    CFolderPage* FolderPage() const { return folderPage_; }
    // The open group selection ("..." beside the groups opens it window-modal), if any.
    CGroupSelectDialog* GroupSelection() const;

    void accept() override;

private:
    QWidget* BuildAccountPage();
    QWidget* BuildLimitsPage();
    void Fill(const UserFormValues& v);
    void FollowEnabled();
    UserFormValues Values() const;
    void Focus(AccountField field);
    void ChooseGroups();

    CUserForm form_;
    QString loadError_;
    QTabWidget* tabs_;
    QWidget* accountPage_ = nullptr;
    QCheckBox* enabled_ = nullptr;
    QLineEdit *userid_ = nullptr, *password_ = nullptr, *groups_ = nullptr, *home_ = nullptr, *email_ = nullptr;
    QCheckBox *showPassword_ = nullptr, *hashPassword_ = nullptr, *expiryOn_ = nullptr;
    QDateEdit* expiryDate_ = nullptr;
    CRightsBoxes* rights_ = nullptr;
    CFolderPage* folderPage_ = nullptr;
    QCheckBox *downloadLimit_ = nullptr, *uploadLimit_ = nullptr;
    QLineEdit *downloadSpeed_ = nullptr, *uploadSpeed_ = nullptr, *quotaMax_ = nullptr, *quotaCurrent_ = nullptr;
    QPointer<CGroupSelectDialog> groupSelect_;
};

}  // namespace tw::admin
