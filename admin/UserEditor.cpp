#include "admin/UserEditor.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/DirectoryBrowser.h"
#include "admin/EditorWidgets.h"
#include "admin/FolderPage.h"
#include "admin/GroupSelectDialog.h"

namespace tw::admin {

namespace {

constexpr const char* kDateFormat = "yyyy-MM-dd";

// An edit with its "..." button on one row.
QHBoxLayout* WithBrowse(QLineEdit* edit, QPushButton* browse) {
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    return row;
}

}  // namespace

CUserEditor::CUserEditor(CAccountStore& store, std::optional<int> userId, const QString& defaultHome, QWidget* parent)
    : QDialog(parent), form_(store), tabs_(new QTabWidget(this)) {
    setWindowTitle(kUserEditorCaption);
    const std::string today = S(QDate::currentDate().toString(kDateFormat));
    if (userId) {
        if (FormCheck loaded = form_.Load(*userId, today); !loaded) loadError_ = Q(loaded.text);
    } else {
        form_.New(S(defaultHome), today);
    }
    tabs_->addTab(BuildAccountPage(), kAccountTab);
    folderPage_ = new CFolderPage(form_.Folders(), true, tabs_);
    tabs_->addTab(folderPage_, kFoldersTab);
    tabs_->addTab(BuildLimitsPage(), kLimitsTab);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addLayout(AcceptCancelRow(this, kSave));

    Fill(form_.Values());
    if (!form_.IsNew()) password_->setPlaceholderText(kPasswordUnchanged);
    userid_->setFocus();
}

QWidget* CUserEditor::BuildAccountPage() {
    auto* page = accountPage_ = new QWidget(tabs_);
    enabled_ = MakeCheckBox(kEnableAccount, page);
    userid_ = new QLineEdit(page);
    password_ = new QLineEdit(page);
    password_->setEchoMode(QLineEdit::Password);
    showPassword_ = MakeCheckBox(kShowPassword, page);
    hashPassword_ = MakeCheckBox(kHashPassword, page);
    groups_ = new QLineEdit(page);
    auto* chooseGroups = MakeBrowseButton(kGroupSelectCaption, page);
    home_ = new QLineEdit(page);
    home_->setMinimumWidth(300);
    auto* browseHome = MakeBrowseButton(kBrowseTitle, page);
    email_ = new QLineEdit(page);
    rights_ = new CRightsBoxes(page);
    expiryOn_ = MakeCheckBox(kExpiryLabel, page);
    expiryDate_ = new QDateEdit(page);
    expiryDate_->setDisplayFormat(kDateFormat);
    expiryDate_->setCalendarPopup(true);
    expiryDate_->setAccessibleName(kExpiryLabel);

    connect(showPassword_, &QCheckBox::toggled, this, [this](bool on) {
        password_->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
    });
    connect(chooseGroups, &QPushButton::clicked, this, [this] { ChooseGroups(); });
    connect(browseHome, &QPushButton::clicked, this, [this] {
        const QString chosen = ChooseDirectory(this, home_->text());
        if (!chosen.isEmpty()) home_->setText(chosen);
    });
    connect(expiryOn_, &QCheckBox::toggled, this,
            [this](bool on) { expiryDate_->setEnabled(on && enabled_->isChecked()); });
    connect(enabled_, &QCheckBox::toggled, this, [this] { FollowEnabled(); });

    auto* passwordOptions = new QHBoxLayout;
    passwordOptions->addWidget(showPassword_);
    passwordOptions->addWidget(hashPassword_);
    passwordOptions->addStretch();
    auto* fields = new QGridLayout;
    int row = 0;
    fields->addWidget(LabelFor(kUserNameLabel, userid_, page), row, 0);
    fields->addWidget(userid_, row++, 1);
    fields->addWidget(LabelFor(kPasswordLabel, password_, page), row, 0);
    fields->addWidget(password_, row++, 1);
    fields->addLayout(passwordOptions, row++, 1);
    fields->addWidget(LabelFor(kGroupsLabel, groups_, page), row, 0);
    fields->addLayout(WithBrowse(groups_, chooseGroups), row++, 1);
    fields->addWidget(LabelFor(kHomeLabel, home_, page), row, 0);
    fields->addLayout(WithBrowse(home_, browseHome), row++, 1);
    fields->addWidget(LabelFor(kEmailLabel, email_, page), row, 0);
    fields->addWidget(email_, row++, 1);
    auto* expiry = new QHBoxLayout;
    expiry->addWidget(expiryOn_);
    expiry->addWidget(expiryDate_);
    expiry->addStretch();
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(enabled_);
    layout->addLayout(fields);
    layout->addWidget(rights_);
    layout->addLayout(expiry);
    layout->addStretch();
    return page;
}

QWidget* CUserEditor::BuildLimitsPage() {
    auto* page = new QWidget(tabs_);
    auto* grid = new QGridLayout(page);
    int row = 0;
    auto number = [&](const char* label, const char* unit) {
        auto* edit = new QLineEdit(page);
        edit->setMaximumWidth(160);
        grid->addWidget(LabelFor(label, edit, page), row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(new QLabel(unit, page), row++, 2);
        return edit;
    };
    auto flag = [&](const char* text) {
        QCheckBox* box = MakeCheckBox(text, page);
        grid->addWidget(box, row++, 0, 1, 3);
        return box;
    };
    downloadLimit_ = flag(kDownloadLimit);
    downloadSpeed_ = number(kDownloadSpeed, kSpeedUnit);
    uploadLimit_ = flag(kUploadLimit);
    uploadSpeed_ = number(kUploadSpeed, kSpeedUnit);
    quotaMax_ = number(kQuotaMax, kKbUnit);
    quotaCurrent_ = number(kQuotaCurrent, kKbUnit);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(row, 1);
    return page;
}

void CUserEditor::Fill(const UserFormValues& v) {
    enabled_->setChecked(v.enabled);
    userid_->setText(Q(v.userid));
    password_->setText(Q(v.password));
    hashPassword_->setChecked(v.hashPassword);
    groups_->setText(Q(v.groups));
    home_->setText(Q(v.homedir));
    email_->setText(Q(v.email));
    rights_->SetRights(v.rights);
    expiryDate_->setDate(QDate::fromString(Q(v.expiry.date), kDateFormat));
    expiryOn_->setChecked(v.expiry.on);
    downloadLimit_->setChecked(v.downloadLimit);
    downloadSpeed_->setText(Q(v.downloadSpeed));
    uploadLimit_->setChecked(v.uploadLimit);
    uploadSpeed_->setText(Q(v.uploadSpeed));
    quotaMax_->setText(Q(v.quotaMax));
    quotaCurrent_->setText(Q(v.quotaCurrent));
    FollowEnabled();
}

// A disabled account shows its settings greyed: every other control of the page follows the box.
void CUserEditor::FollowEnabled() {
    const bool on = enabled_->isChecked();
    for (QWidget* w : accountPage_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w != enabled_) w->setEnabled(on);
    expiryDate_->setEnabled(on && expiryOn_->isChecked());
}

UserFormValues CUserEditor::Values() const {
    return {.enabled = enabled_->isChecked(), .userid = S(userid_->text()), .password = S(password_->text()),
            .groups = S(groups_->text()), .homedir = S(home_->text()), .email = S(email_->text()),
            .hashPassword = hashPassword_->isChecked(), .rights = rights_->Rights(),
            .expiry = {expiryOn_->isChecked(), S(expiryDate_->date().toString(kDateFormat))},
            .downloadLimit = downloadLimit_->isChecked(), .uploadLimit = uploadLimit_->isChecked(),
            .downloadSpeed = S(downloadSpeed_->text()), .uploadSpeed = S(uploadSpeed_->text()),
            .quotaMax = S(quotaMax_->text()), .quotaCurrent = S(quotaCurrent_->text())};
}

void CUserEditor::Focus(AccountField field) {
    using F = AccountField;
    QWidget* target = nullptr;
    switch (field) {
        case F::UserName: target = userid_; break;
        case F::Password: target = password_; break;
        case F::Email: target = email_; break;
        case F::Groups: target = groups_; break;
        case F::Home: target = home_; break;
        case F::Expiry: target = expiryDate_; break;
        case F::DownloadSpeed: target = downloadSpeed_; break;
        case F::UploadSpeed: target = uploadSpeed_; break;
        case F::QuotaMax: target = quotaMax_; break;
        case F::QuotaCurrent: target = quotaCurrent_; break;
        case F::FolderName: case F::FolderDir: target = folderPage_; break;
        default: return;
    }
    for (int i = 0; i < tabs_->count(); ++i)
        if (tabs_->widget(i) == target || tabs_->widget(i)->isAncestorOf(target)) tabs_->setCurrentIndex(i);
    target->setFocus();
}

CGroupSelectDialog* CUserEditor::GroupSelection() const { return groupSelect_; }

void CUserEditor::ChooseGroups() {
    auto* dialog = new CGroupSelectDialog(form_.Store(), this);
    groupSelect_ = dialog;
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        groups_->setText(Q(AppendGroupNames(S(groups_->text()), dialog->Chosen())));
    });
    connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->open();
}

void CUserEditor::accept() {
    const UserFormValues values = Values();
    if (Settle(this, [&](bool confirmed) { return form_.Save(values, confirmed); },
               [this](AccountField field) { Focus(field); }))
        QDialog::accept();
}

}  // namespace tw::admin
