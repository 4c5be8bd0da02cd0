#include "admin/MainDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <fmt/printf.h>

#include "admin/AccountPages.h"
#include "admin/AdminTexts.h"
#include "admin/IpFilterDialog.h"
#include "admin/LogPage.h"
#include "admin/MessageBoxes.h"
#include "admin/OnlinePage.h"
#include "admin/OptionsPage.h"
#include "admin/ServicePanel.h"

namespace tw::admin {

namespace {

constexpr const char* kVersion = "1.0";

// The program's icon: drawn, so that nothing has to ship beside the binary.
QIcon ProgramIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(30, 90, 170));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(4, 4, 56, 56, 12, 12);
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(40);
    p.setFont(font);
    p.drawText(pixmap.rect(), Qt::AlignCenter, "T");
    return QIcon(pixmap);
}

}  // namespace

CMainDlg::CMainDlg(CFtpServer& server, Clock clock)
    : server_(server),
      sink_([this] { QMetaObject::invokeMethod(this, [this] { DrainEvents(); }, Qt::QueuedConnection); }, clock),
      host_(server, sink_, clock) {
    setWindowTitle(kCaption);
    setWindowIcon(ProgramIcon());
    host_.LoadSettings();
    // Timer 1: hides a minimised window to the tray once the minimising has settled.
    hideTimer_ = new QTimer(this);
    hideTimer_->setSingleShot(true);
    connect(hideTimer_, &QTimer::timeout, this, [this] {
        // Asked anew: a tray can go away, and without one the window would be lost.
        if (isMinimized() && tray_ && QSystemTrayIcon::isSystemTrayAvailable()) hide();
    });

    auto* central = new QWidget(this);
    auto* bar = new QWidget(central);
    BuildButtons(bar);
    tabs_ = new QTabWidget(central);
    optionsPage_ = new COptionsPage(host_,
                                    {.restartFtp = [this] { StopFtp(); StartFtp(); },
                                     .restartTls = [this] { StopTls(); StartTls(); },
                                     .ipFilter = [this] { OpenDialog(new CIpFilterDialog(host_, this)); },
                                     .service = [this] { OpenService(); }},
                                    tabs_);
    logPage_ = new CLogPage(tabs_);
    usersPage_ = new CUsersPage(host_.ProgramDir(), tabs_);
    groupsPage_ = new CGroupsPage(host_.ProgramDir(), tabs_);
    onlinePage_ = new COnlinePage(host_, tabs_);
    tabs_->addTab(optionsPage_, "选项");
    tabs_->addTab(logPage_, "日志");
    tabs_->addTab(usersPage_, "用户");
    tabs_->addTab(groupsPage_, "组");
    tabs_->addTab(onlinePage_, "在线用户");
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(bar);
    layout->addWidget(tabs_, 1);
    setCentralWidget(central);

    BuildMenus();
    BuildTray();
    UpdateState();
    status_->setText(kOfflineText);
    resize(820, 560);
}

CMainDlg::~CMainDlg() {
    // Connection threads call the sink until they have ended.
    server_.StopServer();
    server_.StopSslServer();
    server_.SetEventSink(nullptr);
}

void CMainDlg::BuildButtons(QWidget* bar) {
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    auto button = [&](QStyle::StandardPixmap icon, const char* label, const char* toolTip, std::vector<QAction*>* group,
                      std::function<void()> run) {
        auto* action = new QAction(style()->standardIcon(icon), toolTip, bar);
        action->setIconText(label);
        action->setToolTip(toolTip);
        connect(action, &QAction::triggered, this, std::move(run));
        if (group) group->push_back(action);
        auto* b = new QToolButton(bar);
        b->setDefaultAction(action);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setAutoRaise(true);
        row->addWidget(b);
        buttons_.push_back(b);
    };
    button(QStyle::SP_MediaPlay, "FTP", kStartFtp, &startFtp_, [this] { StartFtp(); });
    button(QStyle::SP_MediaStop, "FTP", kStopFtp, &stopFtp_, [this] { StopFtp(); });
    button(QStyle::SP_MediaPlay, "SSL", kStartTls, &startTls_, [this] { StartTls(); });
    button(QStyle::SP_MediaStop, "SSL", kStopTls, &stopTls_, [this] { StopTls(); });
    button(QStyle::SP_DialogHelpButton, "帮助", "TarnwickFTP服务器 帮助", nullptr, [this] { ShowHelp(); });
    button(QStyle::SP_MessageBoxInformation, "关于", "关于TarnwickFTP服务器", nullptr, [this] { ShowAbout(); });
    status_ = new QLabel(bar);
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addStretch();
    row->addWidget(status_);
}

void CMainDlg::BuildMenus() {
    QMenu* server = menuBar()->addMenu("服务器");
    startFtp_.push_back(server->addAction("运行FTP服务器", this, [this] { StartFtp(); }));
    stopFtp_.push_back(server->addAction("停止FTP服务器", this, [this] { StopFtp(); }));
    startTls_.push_back(server->addAction("运行SSL FTP服务器", this, [this] { StartTls(); }));
    stopTls_.push_back(server->addAction("停止SSL FTP服务器", this, [this] { StopTls(); }));
    server->addSeparator();
    server->addAction("退出", this, [this] { close(); });
    QMenu* help = menuBar()->addMenu("帮助");
    help->addAction("帮助", this, [this] { ShowHelp(); });
    help->addAction(kAbout, this, [this] { ShowAbout(); });
    help->addSeparator();
    help->addAction("关于TarnwickFTP服务器...", this, [this] { ShowAbout(); });
}

void CMainDlg::BuildTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(kCaption);
    auto* menu = new QMenu(this);
    menu->addAction("显示主窗口", this, [this] { ShowMainWindow(); });
    menu->addSeparator();
    startFtp_.push_back(menu->addAction(kStartFtp, this, [this] { StartFtp(); }));
    stopFtp_.push_back(menu->addAction(kStopFtp, this, [this] { StopFtp(); }));
    startTls_.push_back(menu->addAction(kStartTls, this, [this] { StartTls(); }));
    stopTls_.push_back(menu->addAction(kStopTls, this, [this] { StopTls(); }));
    menu->addSeparator();
    menu->addAction(kAbout, this, [this] { ShowAbout(); });
    menu->addAction("帮助...", this, [this] { ShowHelp(); });
    menu->addAction("退出", this, [this] { close(); });
    tray_->setContextMenu(menu);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) ShowMainWindow();
    });
    tray_->show();
}

void CMainDlg::Start() {
    const AdminSettings& s = host_.Settings();
    host_.UpdateAutostartEntry(QCoreApplication::applicationFilePath().toStdString());
    if (s.autoActive) StartFtp();
    if (s.autoActiveTls) StartTls();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    // Timer 2: the public-address lookup again until one reply has been handled.
    auto* lookupTimer = new QTimer(this);
    connect(lookupTimer, &QTimer::timeout, this, [this] { host_.RetryAddressLookup(); });
    lookupTimer->start(30000);
    if (s.minimize && !startFailed_) {
        hideTimer_->start(200);
        showMinimized();
    } else {
        show();
    }
    usersPage_->Refresh();
    QSettings("Tarnwick Software Inc.", "tarnserver").setValue("Program/Path", QString::fromStdString(host_.ProgramDir()));
}

void CMainDlg::StartFtp() {
    const int port = optionsPage_->Port();
    const bool started = host_.StartPlain(port);
    if (!started) startFailed_ = true;
    UpdateState();
    if (!started) ShowStartFailure(port);
}

void CMainDlg::StopFtp() {
    server_.StopServer();
    UpdateState();
}

void CMainDlg::StartTls() {
    const int port = optionsPage_->TlsPort();
    const bool started = host_.StartTls(port);
    UpdateState();
    if (!started) ShowStartFailure(port);
}

void CMainDlg::StopTls() {
    server_.StopSslServer();
    UpdateState();
}

void CMainDlg::UpdateState() {
    const bool ftp = host_.FtpRunning(), tls = host_.TlsRunning();
    for (QAction* a : startFtp_) a->setEnabled(!ftp);
    for (QAction* a : stopFtp_) a->setEnabled(ftp);
    for (QAction* a : startTls_) a->setEnabled(!tls);
    for (QAction* a : stopTls_) a->setEnabled(tls);
    status_->setText(QString::fromStdString(StatusText(ftp, tls)));
}

void CMainDlg::ShowStartFailure(int port) {
    // The failure's event line waits in the queue: show it before the box holds the window.
    DrainEvents();
    ShowError(this, QString::fromStdString(fmt::sprintf(kStartFailed, port)));
}

void CMainDlg::OpenDialog(QDialog* dialog) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void CMainDlg::OpenService() {
    // tarnsvc lies beside this program, whichever directory holds the data files.
    const std::string tools = QCoreApplication::applicationDirPath().toStdString() + "/";
    OpenDialog(new CServicePanel(host_.ProgramDir(), tools, [this] { StopFtp(); StopTls(); }, RunningAsRoot(), this));
}

void CMainDlg::ShowMainWindow() {
    showNormal();
    raise();
    activateWindow();
}

void CMainDlg::ShowHelp() {
    // Installed beside the program, not in the (possibly separate) program directory of the data files.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/plover.html"));
}

void CMainDlg::ShowAbout() {
    QMessageBox::about(this, "关于TarnwickFTP服务器",
                       QString("<b>%1</b><br>版本 %2<br>FTP 与 FTPS 服务器的管理程序").arg(kCaption, kVersion));
}

QToolButton* CMainDlg::Button(const char* toolTip) const {
    for (QToolButton* b : buttons_)
        if (b->toolTip() == toolTip) return b;
    return nullptr;
}

void CMainDlg::closeEvent(QCloseEvent* event) {
    if (quitting_) return event->accept();  // the quit below closes the windows once more
    if (!AskYesNo(this, kExitQuestion)) return event->ignore();
    quitting_ = true;
    StopFtp();
    event->accept();
    QCoreApplication::quit();
}

void CMainDlg::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimising hides the window to the tray; a pending start-up hide keeps its own delay.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && !hideTimer_->isActive())
        hideTimer_->start(0);
}

void CMainDlg::DrainEvents() {
    std::vector<CLogPageModel::Line> lines;
    for (ServerEvent& e : sink_.Take()) {
        switch (e.kind) {
        case ServerEvent::USER:
            onlinePage_->Model().Add(e.thread, e.user, e.address, e.when);
            break;
        case ServerEvent::DISCONNECT:
            onlinePage_->Model().RemoveConnection(e.thread);
            break;
        case ServerEvent::MESSAGE:
            // The first line of a new day empties the list; it stays as the new day's first line.
            if (host_.LogLine(e.line)) {
                lines.clear();
                logPage_->Clear();
            }
            lines.push_back({e.level, std::move(e.line)});
            break;
        }
    }
    logPage_->Append(std::move(lines));
}

}  // namespace tw::admin
