#include "admin/GroupEditor.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/EditorWidgets.h"
#include "admin/FolderPage.h"

namespace tw::admin {

CGroupEditor::CGroupEditor(CAccountStore& store, std::optional<int> groupId, QWidget* parent)
    : QDialog(parent), form_(store), tabs_(new QTabWidget(this)) {
    setWindowTitle(kGroupEditorCaption);
    if (!groupId) form_.New();
    else if (FormCheck loaded = form_.Load(*groupId); !loaded) loadError_ = Q(loaded.text);

    auto* page = new QWidget(tabs_);
    name_ = new QLineEdit(Q(form_.Values().name), page);
    notes_ = new QLineEdit(Q(form_.Values().notes), page);
    auto* fields = new QGridLayout(page);
    fields->addWidget(LabelFor(kNameLabel, name_, page), 0, 0);
    fields->addWidget(name_, 0, 1);
    fields->addWidget(LabelFor(kNotesLabel, notes_, page), 1, 0);
    fields->addWidget(notes_, 1, 1);
    fields->setRowStretch(2, 1);
    tabs_->addTab(page, kGroupTab);
    folderPage_ = new CFolderPage(form_.Folders(), false, tabs_);
    tabs_->addTab(folderPage_, kFoldersTab);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addLayout(AcceptCancelRow(this, kSave));
    name_->setFocus();
}

void CGroupEditor::accept() {
    const GroupFormValues values{S(name_->text()), S(notes_->text())};
    const auto focus = [this](AccountField field) {
        const bool folders = field == AccountField::FolderName || field == AccountField::FolderDir;
        tabs_->setCurrentIndex(folders ? 1 : 0);
        (folders ? static_cast<QWidget*>(folderPage_) : field == AccountField::Notes ? notes_ : name_)->setFocus();
    };
    if (Settle(this, [&](bool) { return form_.Save(values); }, focus)) QDialog::accept();
}

}  // namespace tw::admin
