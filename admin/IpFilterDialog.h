// CIpFilterDialog: the "IP 过滤" editor over a CIpFilterEditor. The list shown is always the chosen
// mode's; "加入" and "编辑" ask through the IP address dialog (opened window-modal, not nested). OK applies
// the mode and both texts through CAdminHost; Cancel leaves everything as it was.
#pragma once

#include <QDialog>
#include <QPointer>
#include <array>

#include "admin/AdminHost.h"
#include "admin/IpAddressDialog.h"
#include "admin/IpFilterEditor.h"

class QListWidget;
class QPushButton;
class QRadioButton;

namespace tw::admin {

class CIpFilterDialog : public QDialog {
public:
    // Reads "FilterMode" from option.ini and copies the host's two list texts.
    explicit CIpFilterDialog(CAdminHost& host, QWidget* parent = nullptr);

    const CIpFilterEditor& Editor() const { return editor_; }
    QRadioButton* ModeButton(int mode) const { return modes_[static_cast<size_t>(mode)]; }
    QListWidget* List() const { return list_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* EditButton() const { return edit_; }
    QPushButton* DeleteButton() const { return delete_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    // The IP address dialog while it is open, else null.
    CIpAddressDialog* AddressDialog() const { return addressDialog_; }

    void accept() override;

private:
    void ChooseMode(int mode);
    void AskAddress(const std::string& initial, bool editing);
    void ShowList();

    CAdminHost& host_;
    CIpFilterEditor editor_;
    std::array<QRadioButton*, 3> modes_{};
    QListWidget* list_ = nullptr;
    QPushButton *add_ = nullptr, *edit_ = nullptr, *delete_ = nullptr, *ok_ = nullptr, *cancel_ = nullptr;
    QPointer<CIpAddressDialog> addressDialog_;
};

}  // namespace tw::admin
