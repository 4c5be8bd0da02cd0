// CMainDlg: the main window of tarnserver. Hosts the one server object (owned by the caller, on the GUI
// thread), shows its events through CEventSinkAdapter, starts and stops the two listeners, carries the
// five pages and lives in the tray while minimised.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

#include "admin/AdminHost.h"
#include "admin/EventSinkAdapter.h"

class QAction;
class QDialog;
class QLabel;
class QTabWidget;
class QTimer;
class QToolButton;

namespace tw::admin {

class CLogPage;
class COnlinePage;
class COptionsPage;
class CUsersPage;
class CGroupsPage;

class CMainDlg : public QMainWindow {
public:
    using Clock = std::function<std::time_t()>;

    // `clock` gives the local time of the daily log step, the login times and the expiry sweep.
    explicit CMainDlg(CFtpServer& server, Clock clock = [] { return std::time(nullptr); });
    ~CMainDlg() override;

    // The start-up that follows the window's construction: automatic starts, showing (or minimising),
    // the expiry sweep and the stored program directory.
    void Start();

    // Commands (menu, buttons, tray).
    void StartFtp();
    void StopFtp();
    void StartTls();
    void StopTls();
    void ShowMainWindow();

    CAdminHost& Host() { return host_; }
    QTabWidget* Tabs() const { return tabs_; }
    QLabel* StatusLabel() const { return status_; }
    QToolButton* Button(const char* toolTip) const;
    CLogPage* LogPage() const { return logPage_; }
    COnlinePage* OnlinePage() const { return onlinePage_; }
    COptionsPage* OptionsPage() const { return optionsPage_; }
    CUsersPage* UsersPage() const { return usersPage_; }
    QSystemTrayIcon* Tray() const { return tray_; }
    // Timer 1 of the minimise rule.
    const QTimer* HideTimer() const { return hideTimer_; }
    // Whether a start of the FTP listener failed (it suppresses minimising at start-up).
    bool StartFailed() const { return startFailed_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildMenus();
    void BuildButtons(QWidget* bar);
    void BuildTray();
    void UpdateState();
    void ShowStartFailure(int port);
    void ShowHelp();
    void ShowAbout();
    // The options page's dialogs: shown without blocking the window, deleted when closed.
    void OpenDialog(QDialog* dialog);
    void OpenService();
    // Takes the events queued by the adapter and shows them; once per event-loop turn.
    void DrainEvents();

    CFtpServer& server_;
    CEventSinkAdapter sink_;
    CAdminHost host_;
    bool startFailed_ = false;
    bool quitting_ = false;  // the exit question was answered Yes

    QTabWidget* tabs_ = nullptr;
    QLabel* status_ = nullptr;
    COptionsPage* optionsPage_ = nullptr;
    CLogPage* logPage_ = nullptr;
    CUsersPage* usersPage_ = nullptr;
    CGroupsPage* groupsPage_ = nullptr;
    COnlinePage* onlinePage_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* hideTimer_ = nullptr;
    // Every action and button that starts or stops a listener, by what it does.
    std::vector<QAction*> startFtp_, stopFtp_, startTls_, stopTls_;
    std::vector<QToolButton*> buttons_;
};

}  // namespace tw::admin
