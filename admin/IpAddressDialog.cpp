#include "IpAddressDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>


namespace tw::admin {

namespace {

constexpr const char* kInvalid = "IP地址无效";

}  // namespace

CIpAddressDialog::CIpAddressDialog(const std::string& address, QWidget* parent) : QDialog(parent) {
    setWindowTitle("IP地址");
    auto* label = new QLabel("输入IP地址:", this);
    auto* row = new QHBoxLayout;
    const AddressParts parts = SplitAddress(address);
    // Pasted text passes no key filter: the validator keeps the same characters out.
    auto* validator = new QRegularExpressionValidator(QRegularExpression("[0-9*]{0,3}"), this);
    for (size_t i = 0; i < fields_.size(); ++i) {
        auto* field = new QLineEdit(QString::fromStdString(parts[i]), this);
        field->setMaxLength(static_cast<int>(kMaxPartLength));
        field->setValidator(validator);
        field->setAlignment(Qt::AlignCenter);
        field->setFixedWidth(field->fontMetrics().horizontalAdvance("0000") + 16);
        field->setAccessibleName(QString("输入IP地址: 第%1段").arg(i + 1));
        field->installEventFilter(this);
        fields_[i] = field;
        if (i > 0) row->addWidget(new QLabel(".", this));
        row->addWidget(field);
    }
    row->addStretch();
    label->setBuddy(fields_[0]);

    error_ = new QLabel(this);
    error_->setStyleSheet("color: #b00000");
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton("确定", QDialogButtonBox::AcceptRole);
    buttons->addButton("取消", QDialogButtonBox::RejectRole);
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addLayout(row);
    layout->addWidget(error_);
    layout->addWidget(buttons);
    fields_[0]->setFocus();
}

AddressParts CIpAddressDialog::Parts() const {
    AddressParts parts;
    for (size_t i = 0; i < parts.size(); ++i) parts[i] = fields_[i]->text().toStdString();
    return parts;
}

std::string CIpAddressDialog::Address() const { return JoinAddress(Parts()); }

void CIpAddressDialog::accept() {
    if (!IsValidAddress(Parts())) {
        error_->setText(kInvalid);
        return;
    }
    QDialog::accept();
}

bool CIpAddressDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
        // Editing and the dialog's own keys.
        case Qt::Key_Backspace:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape: return false;
        case Qt::Key_Period: {
            auto it = std::find(fields_.begin(), fields_.end(), watched);
            if (it != fields_.end() && it + 1 != fields_.end()) {
                (*(it + 1))->setFocus(Qt::TabFocusReason);
                (*(it + 1))->selectAll();
            }
            return true;
        }
        default: break;
    }
    const QString text = key->text();
    return !(text.size() == 1 && text[0].unicode() < 0x80 && IsPartCharacter(static_cast<char>(text[0].unicode())));
}

}  // namespace tw::admin
