#include "admin/EditorWidgets.h"

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/AccountTexts.h"
#include "admin/MessageBoxes.h"

namespace tw::admin {

namespace {

// The flags in box order.
constexpr std::array<bool RightsSet::*, 9> kFlags{&RightsSet::read,      &RightsSet::write,   &RightsSet::del,
                                                  &RightsSet::rename,    &RightsSet::append,  &RightsSet::dirList,
                                                  &RightsSet::dirCreate, &RightsSet::dirRemove, &RightsSet::dirRename};

}  // namespace

QLabel* LabelFor(const QString& text, QWidget* field, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(field);
    field->setAccessibleName(text);
    return label;
}

QPushButton* MakeButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    button->setAccessibleName(text);
    return button;
}

QHBoxLayout* AcceptCancelRow(QDialog* dialog, const QString& acceptText) {
    auto* accept = new QPushButton(acceptText, dialog);
    accept->setDefault(true);
    accept->setAccessibleName(acceptText);
    auto* cancel = MakeButton(kCancel, dialog);
    QObject::connect(accept, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(accept);
    row->addWidget(cancel);
    return row;
}

QPushButton* MakeBrowseButton(const QString& opens, QWidget* parent) {
    QPushButton* button = MakeButton(kBrowse, parent);
    button->setAccessibleDescription(opens);
    button->setFixedWidth(button->fontMetrics().horizontalAdvance(kBrowse) + 24);
    return button;
}

QCheckBox* MakeCheckBox(const QString& text, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setAccessibleName(text);
    return box;
}

bool Settle(QWidget* parent, const std::function<FormCheck(bool)>& attempt,
            const std::function<void(AccountField)>& focus) {
    FormCheck check = attempt(false);
    if (check.kind == FormCheck::Kind::Ask) {
        if (!AskYesNo(parent, Q(check.text))) {
            focus(check.field);
            return false;
        }
        check = attempt(true);
    }
    if (check) return true;
    ShowError(parent, Q(check.text));
    focus(check.field);
    return false;
}

CRightsBoxes::CRightsBoxes(QWidget* parent) : QWidget(parent) {
    auto* files = new QGroupBox(kFileRights, this);
    auto* dirs = new QGroupBox(kDirRights, this);
    auto* fileRow = new QHBoxLayout(files);
    auto* dirRow = new QHBoxLayout(dirs);
    const char* const texts[] = {kRead, kWrite, kRightDelete, kRename, kAppend, kList, kCreate, kRemove, kDirRename};
    for (int i = 0; i < 9; ++i) {
        QGroupBox* group = i < 5 ? files : dirs;
        boxes_[i] = MakeCheckBox(texts[i], group);
        // The group's title tells the two "删除" and the two "更名" apart.
        boxes_[i]->setAccessibleDescription(group->title());
        (i < 5 ? fileRow : dirRow)->addWidget(boxes_[i]);
        connect(boxes_[i], &QCheckBox::toggled, this, [this] {
            if (changed_) changed_();
        });
    }
    fileRow->addStretch();
    dirRow->addStretch();
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(files);
    column->addWidget(dirs);
}

RightsSet CRightsBoxes::Rights() const {
    RightsSet rights;
    for (int i = 0; i < 9; ++i) rights.*kFlags[i] = boxes_[i]->isChecked();
    return rights;
}

void CRightsBoxes::SetRights(const RightsSet& rights) {
    auto callback = std::exchange(changed_, nullptr);
    for (int i = 0; i < 9; ++i) boxes_[i]->setChecked(rights.*kFlags[i]);
    changed_ = std::move(callback);
}

}  // namespace tw::admin
