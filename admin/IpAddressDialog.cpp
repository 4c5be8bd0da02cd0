#include "admin/IpAddressDialog.h"

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
    const bool ipv6 = IsIpv6Entry(address);
    const AddressParts parts = ipv6 ? AddressParts{} : SplitAddress(address);
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

    auto* ipv6Label = new QLabel("或输入IPv6地址或前缀:", this);
    ipv6_ = new QLineEdit(ipv6 ? QString::fromStdString(address) : QString(), this);
    ipv6_->setMaxLength(static_cast<int>(kMaxIpv6EntryLength));
    ipv6_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9A-Fa-f:./]{0,49}"), this));
    ipv6_->setMinimumWidth(ipv6_->fontMetrics().horizontalAdvance("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128") + 16);
    ipv6_->setAccessibleName(ipv6Label->text());
    ipv6Label->setBuddy(ipv6_);
    // One kind of input at a time: what is typed into one empties the other.
    connect(ipv6_, &QLineEdit::textEdited, this, [this] {
        for (QLineEdit* field : fields_) field->clear();
    });
    for (QLineEdit* field : fields_) connect(field, &QLineEdit::textEdited, ipv6_, &QLineEdit::clear);

    error_ = new QLabel(this);
    error_->setStyleSheet("color: #b00000");
    // The complaint is about what was typed before: any edit takes it away.
    for (QLineEdit* field : fields_) connect(field, &QLineEdit::textEdited, error_, &QLabel::clear);
    connect(ipv6_, &QLineEdit::textEdited, error_, &QLabel::clear);
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton("确定", QDialogButtonBox::AcceptRole);
    buttons->addButton("取消", QDialogButtonBox::RejectRole);
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addLayout(row);
    layout->addWidget(ipv6Label);
    layout->addWidget(ipv6_);
    layout->addWidget(error_);
    layout->addWidget(buttons);
    (ipv6 ? ipv6_ : fields_[0])->setFocus();
}

AddressParts CIpAddressDialog::Parts() const {
    AddressParts parts;
    for (size_t i = 0; i < parts.size(); ++i) parts[i] = fields_[i]->text().toStdString();
    return parts;
}

std::string CIpAddressDialog::Address() const {
    return ipv6_->text().isEmpty() ? JoinAddress(Parts()) : ipv6_->text().toStdString();
}

void CIpAddressDialog::accept() {
    if (ipv6_->text().isEmpty() ? !IsValidAddress(Parts()) : !IsValidIpv6Entry(Address())) {
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
