// CIpAddressDialog: the "IP地址" dialog, four fields of up to three characters joined with ".", and below
// them one text for an IPv6 address or prefix. The four fields take digits and "*" only; "." moves on to
// the next field. Typing into one kind of input empties the other. OK is refused with "IP地址无效" shown
// in the dialog while a field is empty or above 255, or the IPv6 text is no address or prefix the filter
// takes.
#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "admin/IpAddressParts.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tw::admin {

class CIpAddressDialog : public QDialog {
public:
    // `address` fills the fields (split at "."), or the IPv6 text when it holds ":"; empty for a new entry.
    explicit CIpAddressDialog(const std::string& address = {}, QWidget* parent = nullptr);

    // The IPv6 text when it is filled, else the four fields joined, "%s.%s.%s.%s".
    std::string Address() const;
    QLineEdit* Field(int index) const { return fields_[static_cast<size_t>(index)]; }
    QLineEdit* Ipv6Field() const { return ipv6_; }
    QLabel* ErrorLabel() const { return error_; }
    QPushButton* OkButton() const { return ok_; }

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AddressParts Parts() const;

    std::array<QLineEdit*, 4> fields_{};
    QLineEdit* ipv6_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace tw::admin
