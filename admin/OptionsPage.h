// The "选项" page: the server's addresses, the ports with their restart buttons, the passive mode, the
// connection limits, the start-up options and the buttons of the filter and service dialogs. Every edit
// is written at once through COptionsModel; a file that cannot be written is said in the status line.
#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "admin/OptionsModel.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tw::admin {

// What the page asks of the main window.
struct OptionsPageActions {
    std::function<void()> restartFtp, restartTls;  // stop, then start, on the port now written
    std::function<void()> ipFilter, service;        // open the IP filter editor, the service panel
};

class COptionsPage : public QWidget {
public:
    COptionsPage(CAdminHost& host, OptionsPageActions actions, QWidget* parent = nullptr);

    // The ports as last written (a restart writes the typed one first).
    int Port() const;
    int TlsPort() const;

    // Fills the address and passive IP lists from the host's addresses.
    void Refresh();
    // The local IPv4 addresses, loopback last.
    static std::vector<std::string> LocalAddresses();

    QComboBox* AddressList() const { return address_; }
    QComboBox* PassiveIpList() const { return passiveIp_; }
    QLineEdit* PortEdit() const { return port_; }
    QLineEdit* TlsPortEdit() const { return tlsPort_; }
    QLabel* StatusLine() const { return status_; }
    // "未找到证书", or why the set does not load; empty for a usable set.
    QLabel* CertificateLine() const { return certificates_; }
    QPushButton* MakeCertificatesButton() const { return makeCertificates_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    OptionsForm ReadForm() const;
    void Report(bool written);
    void SaveOptions();
    void SaveTlsOption();
    void Restart(QLineEdit* edit, QPushButton* button, const std::function<void()>& restart);
    void OpenAddress();
    void OpenLogFolder();
    void ShowCertificates();
    // Makes a self-signed set for this host, then starts the TLS listener on it.
    void MakeCertificates();

    CAdminHost& host_;
    COptionsModel model_;
    OptionsPageActions actions_;
    QComboBox* address_;
    QLineEdit *port_, *tlsPort_, *minPort_, *maxPort_;
    QPushButton *restartFtp_, *restartTls_;
    QComboBox* passiveIp_;
    QCheckBox *startup_, *minimize_, *autoActive_, *autoActiveTls_, *saveLog_;
    QLabel* status_;
    QLabel* certificates_;
    QPushButton* makeCertificates_;
    bool filling_ = false;  // the lists are being filled: their changes are not edits
};

}  // namespace tw::admin
