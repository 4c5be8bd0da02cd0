#include "admin/GroupSelectDialog.h"

#include <QListWidget>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/EditorWidgets.h"

namespace tw::admin {

CGroupSelectDialog::CGroupSelectDialog(const CAccountStore& store, QWidget* parent)
    : QDialog(parent), list_(new QListWidget(this)) {
    setWindowTitle(kGroupSelectCaption);
    list_->setAccessibleName(kGroupSelectCaption);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    std::vector<Group> groups;
    store.Groups(groups);
    for (const Group& g : groups) list_->addItem(Q(g.name));
    if (list_->count() > 0) list_->setCurrentRow(0, QItemSelectionModel::NoUpdate);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(AcceptCancelRow(this, kOk));
    resize(300, 280);
}

std::vector<std::string> CGroupSelectDialog::Chosen() const {
    std::vector<std::string> names;
    for (int row = 0; row < list_->count(); ++row)
        if (list_->item(row)->isSelected()) names.push_back(S(list_->item(row)->text()));
    return names;
}

}  // namespace tw::admin
