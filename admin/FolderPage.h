// CFolderPage: the "虚拟目录" tab of the user and the group editor over a CFolderList. The nine right
// boxes edit the selected own row; "上" and "下" (context menu, Alt+Up and Alt+Down) move it among the
// own rows. Inherited rows are shown with their group's name and cannot be changed.
#pragma once

#include <QPointer>
#include <QWidget>

#include "admin/FolderList.h"

class QAction;
class QPushButton;
class QTreeWidget;

namespace tw::admin {

class CFolderDialog;
class CRightsBoxes;

class CFolderPage : public QWidget {
public:
    // `groupColumn`: whether the list shows the inherited rows' group (the user editor's).
    CFolderPage(CFolderList& list, bool groupColumn, QWidget* parent = nullptr);

    // Shows the list as it is now.
    void Refresh();

    QTreeWidget* List() const { return view_; }
    CRightsBoxes* Rights() const { return rights_; }
    QAction* MoveUpAction() const { return up_; }
    QAction* MoveDownAction() const { return down_; }
    // The open folder dialog ("加入..." and "编辑..." open it window-modal), if any.
    CFolderDialog* Dialog() const;

private:
    void OpenDialog(std::optional<int> editing);
    void Delete();
    void UpdateControls();

    CFolderList& list_;
    QTreeWidget* view_;
    CRightsBoxes* rights_;
    QPushButton* edit_;
    QPushButton* delete_;
    QAction* up_;
    QAction* down_;
    QPointer<CFolderDialog> dialog_;
};

}  // namespace tw::admin
