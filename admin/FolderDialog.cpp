#include "admin/FolderDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/DirectoryBrowser.h"
#include "admin/EditorWidgets.h"

namespace tw::admin {

CFolderDialog::CFolderDialog(const CFolderList& list, std::optional<int> editing, QWidget* parent)
    : QDialog(parent), list_(list), editing_(editing), nameEdit_(new QLineEdit(this)), pathEdit_(new QLineEdit(this)) {
    setWindowTitle(kFolderDialogCaption);
    if (editing) {
        nameEdit_->setText(Q(list.At(*editing).folder.name));
        pathEdit_->setText(Q(list.At(*editing).folder.dir));
    }
    pathEdit_->setMinimumWidth(440);
    auto* browse = MakeBrowseButton(kBrowseTitle, this);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = ChooseDirectory(this, pathEdit_->text());
        if (!chosen.isEmpty()) pathEdit_->setText(chosen);
    });

    auto* fields = new QGridLayout;
    fields->addWidget(LabelFor(kNameLabel, nameEdit_, this), 0, 0);
    fields->addWidget(nameEdit_, 0, 1, 1, 2);
    fields->addWidget(LabelFor(kPathLabel, pathEdit_, this), 1, 0);
    fields->addWidget(pathEdit_, 1, 1);
    fields->addWidget(browse, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(AcceptCancelRow(this, kOk));
}

void CFolderDialog::accept() {
    const auto attempt = [this](bool confirmed) {
        name_ = S(nameEdit_->text());
        dir_ = S(pathEdit_->text());
        return list_.CheckEntry(name_, dir_, editing_, confirmed);
    };
    const auto focus = [this](AccountField field) {
        (field == AccountField::FolderDir ? pathEdit_ : nameEdit_)->setFocus();
    };
    if (Settle(this, attempt, focus)) QDialog::accept();
}

}  // namespace tw::admin
