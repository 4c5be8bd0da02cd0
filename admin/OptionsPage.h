// The "选项" page: the ports with their restart buttons, and the start-up settings (shown; their editor
// comes with the settings dialogs).
#pragma once

#include <QWidget>
#include <functional>

#include "admin/AdminSettings.h"

class QLineEdit;

namespace tw::admin {

class COptionsPage : public QWidget {
public:
    // `restartFtp` and `restartTls` are run by the two "重启" buttons.
    COptionsPage(const AdminSettings& settings, std::function<void()> restartFtp, std::function<void()> restartTls,
                 QWidget* parent = nullptr);

    // The ports as typed; a field that holds no port gives the value read at start-up.
    int Port() const;
    int TlsPort() const;
    QLineEdit* PortEdit() const { return port_; }
    QLineEdit* TlsPortEdit() const { return tlsPort_; }

private:
    AdminSettings settings_;
    QLineEdit* port_;
    QLineEdit* tlsPort_;
};

}  // namespace tw::admin
