#include "admin/FolderPage.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/EditorWidgets.h"
#include "admin/FolderDialog.h"
#include "admin/MessageBoxes.h"

namespace tw::admin {

CFolderPage::CFolderPage(CFolderList& list, bool groupColumn, QWidget* parent)
    : QWidget(parent), list_(list), view_(new QTreeWidget(this)) {
    QStringList columns{kFolderNameColumn, kFolderPathColumn, kFolderRightsColumn};
    if (groupColumn) columns << kFolderGroupColumn;
    view_->setHeaderLabels(columns);
    view_->setAccessibleName(kFoldersTab);
    view_->setRootIsDecorated(false);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setMinimumSize(520, 150);
    // The path takes the room left and is shortened in its middle; the other columns fit their texts.
    view_->setTextElideMode(Qt::ElideMiddle);
    view_->header()->setStretchLastSection(false);
    view_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);
    up_ = new QAction(kMoveUp, view_);
    down_ = new QAction(kMoveDown, view_);
    up_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Up));
    down_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Down));
    // Always enabled, so that the keys never fall through to the list (which would move the cursor
    // instead); a move that is not possible does nothing.
    for (QAction* a : {up_, down_}) {
        a->setShortcutContext(Qt::WidgetShortcut);
        view_->addAction(a);
    }
    connect(up_, &QAction::triggered, this, [this] {
        if (list_.MoveUp(list_.Selected())) Refresh();
    });
    connect(down_, &QAction::triggered, this, [this] {
        if (list_.MoveDown(list_.Selected())) Refresh();
    });
    connect(view_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        list_.Select(item ? view_->indexOfTopLevelItem(item) : -1);
        UpdateControls();
    });
    connect(view_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const int row = view_->indexOfTopLevelItem(item);
        if (list_.IsOwn(row)) OpenDialog(row);
    });

    auto* add = MakeButton(kAdd, this);
    edit_ = MakeButton(kEdit, this);
    delete_ = MakeButton(kDelete, this);
    connect(add, &QPushButton::clicked, this, [this] { OpenDialog(std::nullopt); });
    connect(edit_, &QPushButton::clicked, this, [this] { OpenDialog(list_.Selected()); });
    connect(delete_, &QPushButton::clicked, this, [this] { Delete(); });

    rights_ = new CRightsBoxes(this);
    rights_->OnChanged([this] {
        const int row = list_.Selected();
        if (!list_.SetRights(row, rights_->Rights())) return;
        view_->topLevelItem(row)->setText(2, Q(list_.At(row).folder.rights.ToString()));
    });

    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {add, edit_, delete_}) buttons->addWidget(b);
    buttons->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(view_, 1);
    top->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(rights_);
    Refresh();
}

void CFolderPage::Refresh() {
    const int selected = list_.Selected();
    {
        const QSignalBlocker blocker(view_);
        view_->clear();
        for (size_t row = 0; row < list_.Size(); ++row) {
            const FolderRow& r = list_.At(row);
            auto* item = new QTreeWidgetItem(
                view_, {Q(r.folder.name), Q(r.folder.dir), Q(r.folder.rights.ToString()), Q(r.group)});
            // Inherited rows are shown greyed: they cannot be changed here.
            if (!r.own)
                for (int c = 0; c < view_->columnCount(); ++c)
                    item->setForeground(c, palette().color(QPalette::Disabled, QPalette::Text));
        }
        view_->setCurrentItem(selected >= 0 ? view_->topLevelItem(selected) : nullptr);
    }
    UpdateControls();
}

void CFolderPage::UpdateControls() {
    const int row = list_.Selected();
    const bool own = list_.IsOwn(row);
    rights_->SetRights(row >= 0 ? list_.At(row).folder.rights : RightsSet{});
    rights_->setEnabled(own);
    edit_->setEnabled(own);
    delete_->setEnabled(own);
}

void CFolderPage::OpenDialog(std::optional<int> editing) {
    if (editing && !list_.IsOwn(*editing)) return;
    auto* dialog = new CFolderDialog(list_, editing, this);
    dialog_ = dialog;
    connect(dialog, &QDialog::accepted, this, [this, dialog, editing] {
        if (editing) list_.Edit(*editing, dialog->Name(), dialog->Dir());
        else list_.Add(dialog->Name(), dialog->Dir());
        Refresh();
    });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

CFolderDialog* CFolderPage::Dialog() const { return dialog_; }

void CFolderPage::Delete() {
    const int row = list_.Selected();
    if (!list_.IsOwn(row) || !AskYesNo(this, kDeleteFolderQuestion)) return;
    list_.Remove(row);
    Refresh();
}

}  // namespace tw::admin
