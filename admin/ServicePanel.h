// CServicePanel: the "服务" panel. Its four buttons run tarnsvc's switches (off the GUI thread, one at a
// time, bounded), show a failed run's exit status and output, and show the unit's state after each run;
// its two check boxes choose which listeners the service starts.
#pragma once

#include <QDialog>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "admin/ServiceControl.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace tw::admin {

class CServicePanel : public QDialog {
    Q_OBJECT

public:
    // `programDir` holds option.ini; `toolDir` (ending in "/") is where tarnsvc lies, beside tarnserver;
    // `stopListeners` stops this program's FTP and TLS listeners before the service starts; `root` says
    // whether the switches run directly or through pkexec.
    CServicePanel(std::string programDir, std::string toolDir, std::function<void()> stopListeners,
                  bool root = RunningAsRoot(), QWidget* parent = nullptr);

    QPushButton* Button(ServiceSwitch which) const { return buttons_[static_cast<size_t>(which)]; }
    QCheckBox* FtpBox() const { return ftpBox_; }
    QCheckBox* TlsBox() const { return tlsBox_; }
    QLabel* StateLabel() const { return state_; }
    QPushButton* CloseButton() const { return close_; }
    // A command or the state query is running.
    bool Busy() const { return busy_; }

signals:
    // A run (or the first look at the state) has ended and what it gave is shown.
    void Refreshed();

private:
    void RunSwitch(ServiceSwitch which);
    // Runs `argv` (none: only the state is read) off the GUI thread.
    void Launch(std::vector<std::string> argv);
    void Finish(const std::vector<std::string>& argv, const ServiceOutcome& outcome);
    void SetBusy(bool busy);

    const std::string programDir_, toolDir_;
    const std::function<void()> stopListeners_;
    const bool root_;
    std::array<QPushButton*, 4> buttons_{};
    QCheckBox* ftpBox_ = nullptr;
    QCheckBox* tlsBox_ = nullptr;
    QLabel* state_ = nullptr;
    QPushButton* close_ = nullptr;
    bool busy_ = false;
};

}  // namespace tw::admin
