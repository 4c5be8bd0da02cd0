// The main window driven through its real widgets, with the server object on the GUI thread, real
// loopback sockets and a real FTP client (Python's ftplib).
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QListView>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>
#include <map>
#include <memory>

#include "admin/AccountPages.h"
#include "admin/AdminTexts.h"
#include "admin/EngineLoop.h"
#include "admin/IpFilterDialog.h"
#include "admin/LogPage.h"
#include "admin/MainDlg.h"
#include "admin/OnlinePage.h"
#include "admin/OptionsPage.h"
#include "admin/ServicePanel.h"
#include "accounts/AccountStore.h"
#include "engine/FtpServer.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "tests/common/LocalTime.h"
#include "tests/gui/GuiTestSupport.h"

using namespace tw;
using namespace tw::admin;

namespace {

using tw::test::Boxes;
using tw::test::Client;
using tw::test::FreePort;
using tw::test::kDeadlineMs;
using tw::test::LocalTime;

}  // namespace

// Takes the URLs the program asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls << url; }
};

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home_;
    std::string dir_;
    int port_ = 0, tlsPort_ = 0;
    std::time_t now_ = 0;
    std::unique_ptr<CEngineLoop> engine_;
    std::unique_ptr<CFtpServer> server_;
    std::unique_ptr<CMainDlg> window_;

    void WriteOptions(const std::string& extra) {
        QCOMPARE(WriteFileReplacing(dir_ + "option.ini", "[Server]\nport=" + std::to_string(port_) +
                                                       "\nsslport=" + std::to_string(tlsPort_) + "\n" + extra), 0);
    }
    void Sdbtool(const QStringList& args) { QCOMPARE(test::Sdbtool(dir_, args), 0); }
    CMainDlg& Open() {
        server_ = std::make_unique<CFtpServer>();
        window_ = std::make_unique<CMainDlg>(*server_, [this] { return now_; });
        return *window_;
    }
    QString Status() const { return window_->StatusLabel()->text(); }
    const CLogPageModel& LogLines() const { return window_->LogPage()->Model().Lines(); }
    const COnlineListModel& Online() const { return window_->OnlinePage()->Model().Rows(); }
    QAction* OnlineAction(const char* text) const {
        for (QAction* a : window_->OnlinePage()->MenuActions())
            if (a->text() == text) return a;
        return nullptr;
    }
    void SelectOnlineRow(int row) {
        QTreeView* view = window_->OnlinePage()->View();
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    bool LogHas(const std::string& text) const {
        for (size_t i = 0; i < LogLines().Size(); ++i)
            if (LogLines().At(i).text.find(text) != std::string::npos) return true;
        return false;
    }

private slots:
    void initTestCase() { engine_ = std::make_unique<CEngineLoop>(); }

    void init() {
        QVERIFY(home_.isValid());
        dir_ = test::NewProgramDirectory(home_);
        QVERIFY(!dir_.empty());
        qputenv("TARNWICK_HOME", QByteArray::fromStdString(dir_));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_ + "config"));
        port_ = FreePort();
        tlsPort_ = FreePort(port_);
        now_ = std::time(nullptr);
    }

    void cleanup() {
        window_.reset();
        server_.reset();
    }

    void startsAndStopsBothListenersFromTheButtons() {
        WriteOptions("");
        // A self-signed certificate set made by the openssl command.
        QCOMPARE(QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                               "/CN=127.0.0.1", "-keyout", QString::fromStdString(dir_ + "ServerKey.pem"),
                                               "-out", QString::fromStdString(dir_ + "ServerCert.pem")}),
                 0);
        QVERIFY(QFile::copy(QString::fromStdString(dir_ + "ServerCert.pem"), QString::fromStdString(dir_ + "RootCert.pem")));
        CMainDlg& w = Open();
        w.Start();
        QCOMPARE(Status(), QString(kOfflineText));
        QVERIFY(w.Button(kStartFtp)->isEnabled());
        QVERIFY(!w.Button(kStopFtp)->isEnabled());

        QTest::mouseClick(w.Button(kStartFtp), Qt::LeftButton);
        QCOMPARE(Status(), QString("FTP服务器已启动/SSL服务器已停止"));
        QVERIFY(!w.Button(kStartFtp)->isEnabled());
        QVERIFY(w.Button(kStopFtp)->isEnabled());
        {
            Client client(port_);
            QCOMPARE(client.Reply(), QString("220 Welcome to Tarnwick FTP Server!"));
            client.Send("quit");
            QCOMPARE(client.Reply(), QString("220 Good bye!"));
        }
        QTest::mouseClick(w.Button(kStartTls), Qt::LeftButton);
        QCOMPARE(Status(), QString("FTP服务器已启动/SSL服务器已启动"));
        QVERIFY(!w.Button(kStartTls)->isEnabled());
        {
            Client client(tlsPort_, true);
            QCOMPARE(client.Reply(), QString("220 Welcome to Tarnwick FTP Server!"));
        }
        QTest::mouseClick(w.Button(kStopFtp), Qt::LeftButton);
        QCOMPARE(Status(), QString("FTP服务器已停止/SSL服务器已启动"));
        QTest::mouseClick(w.Button(kStopTls), Qt::LeftButton);
        QCOMPARE(Status(), QString("FTP服务器已停止/SSL服务器已停止"));
        QVERIFY(w.Button(kStartFtp)->isEnabled() && w.Button(kStartTls)->isEnabled());
        QVERIFY(!w.Button(kStopFtp)->isEnabled() && !w.Button(kStopTls)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(LogHas("Server is stopped."), kDeadlineMs);
    }

    void helpOpensTheHelpPageBesideTheProgram() {
        WriteOptions("");
        CMainDlg& w = Open();
        w.Start();
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler("file", &recorder, "Open");
        QTest::mouseClick(w.Button("TarnwickFTP服务器 帮助"), Qt::LeftButton);
        for (QAction* a : w.menuBar()->actions())
            if (a->text() == "帮助" && a->menu())
                for (QAction* item : a->menu()->actions())
                    if (item->text() == "帮助") item->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(recorder.urls.size(), 2);
        QCOMPARE(recorder.urls[1], recorder.urls[0]);
        QFile page(recorder.urls[0].toLocalFile());
        QCOMPARE(QFileInfo(page).absoluteFilePath(), QCoreApplication::applicationDirPath() + "/plover.html");
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(page.readAll()).contains("<title>TarnwickFTP服务器 帮助</title>"));
    }

    void onlineRowsFollowUserAndQuitAndBlockEndsTheConnection() {
        WriteOptions("AutoActive=1\n");
        CMainDlg& w = Open();
        w.Start();
        QVERIFY(server_->IsRunning());
        Client alice(port_), bob(port_);
        QVERIFY(alice.Reply().startsWith("220 "));
        QVERIFY(bob.Reply().startsWith("220 "));
        alice.Send("USER alice");
        QVERIFY(alice.Reply().startsWith("331"));
        bob.Send("USER bob");
        QVERIFY(bob.Reply().startsWith("331"));
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 2, kDeadlineMs);
        const int aliceRow = Online().At(0).user == "alice" ? 0 : 1;
        QCOMPARE(Online().At(aliceRow).address, std::string("127.0.0.1"));
        QCOMPARE(Online().At(aliceRow).loginTime.size(), size_t(19));

        // A second USER on one connection is a second row; both go with the connection.
        alice.Send("USER alice2");
        QVERIFY(alice.Reply().startsWith("331"));
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 3, kDeadlineMs);

        SelectOnlineRow(aliceRow);
        OnlineAction("禁止此用户")->trigger();
        alice.Send("NOOP");
        QCOMPARE(alice.Reply(), QString("closed"));
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 1, kDeadlineMs);
        QCOMPARE(Online().At(0).user, std::string("bob"));

        // The selected row's connection ends: the row goes, nothing else happens.
        SelectOnlineRow(0);
        bob.Send("quit");
        QVERIFY(bob.Reply().startsWith("220"));
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 0, kDeadlineMs);
        QVERIFY(window_->OnlinePage()->View()->selectionModel()->selectedRows().isEmpty());
    }

    void allowAndDenyAdditionsWriteTheListFiles() {
        WriteOptions("AutoActive=1\n");
        QCOMPARE(WriteFileReplacing(dir_ + "acceptip.txt", "127.0.0.1"), 0);
        QCOMPARE(WriteFileReplacing(dir_ + "rejectip.txt", "10.0.0.1"), 0);
        CMainDlg& w = Open();
        w.Start();
        Client client(port_);
        QVERIFY(client.Reply().startsWith("220 "));
        client.Send("USER carol");
        QVERIFY(client.Reply().startsWith("331"));
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 1, kDeadlineMs);
        SelectOnlineRow(0);

        // Already in the allow list: nothing is written (the removed file stays away).
        QFile::remove(QString::fromStdString(dir_ + "acceptip.txt"));
        OnlineAction("把此IP地址加入IP过滤允许列表")->trigger();
        QVERIFY(!QFile::exists(QString::fromStdString(dir_ + "acceptip.txt")));

        OnlineAction("把此IP地址加入IP过滤禁止列表")->trigger();
        QCOMPARE(ReadSmallFile(dir_ + "rejectip.txt"), std::string("10.0.0.1,127.0.0.1"));

        OnlineAction(kClearAll)->trigger();
        QCOMPARE(Online().Size(), 0);
        client.Send("USER carol");
        QVERIFY(client.Reply().startsWith("331"));  // clearing the list leaves the connections
    }

    void logPageKeeps1201ColouredLinesWithTheNewestSelected() {
        WriteOptions("");
        CMainDlg& w = Open();
        w.Start();
        // Lines of one event-loop turn are shown as one batch: one model reset, not one per line.
        QSignalSpy resets(&w.LogPage()->Model(), &QAbstractItemModel::modelReset);
        for (int i = 0; i < 1300; ++i) server_->NotifyText(static_cast<EventLevel>(i % 4), "line " + std::to_string(i));
        QTRY_VERIFY_WITH_TIMEOUT(LogHas("line 1299"), kDeadlineMs);
        QCOMPARE(resets.count(), 1);
        QCOMPARE(LogLines().Size(), size_t(1201));
        QVERIFY(LogLines().At(0).text.ends_with("line 99"));
        const CLogListModel& model = w.LogPage()->Model();
        auto colour = [&](int row) { return model.data(model.index(row), Qt::ForegroundRole).value<QColor>(); };
        QCOMPARE(colour(1200 - 3), QColor(128, 0, 0));  // line 1296, level 0
        QCOMPARE(colour(1200 - 2), QColor(0, 0, 150));  // level 1
        QCOMPARE(colour(1200 - 1), QColor(0, 150, 0));  // level 2
        QCOMPARE(colour(1200), QColor(128, 0, 0));      // level 3
        QCOMPARE(w.LogPage()->View()->currentIndex().row(), 1200);

        w.LogPage()->View()->actions().first()->trigger();  // "清除全部"
        QCOMPARE(LogLines().Size(), size_t(0));
    }

    void exitAsksAndOnlyYesStopsAndCloses() {
        WriteOptions("AutoActive=1\n");
        CMainDlg& w = Open();
        w.Start();
        QVERIFY(w.isVisible());
        {
            Boxes no(false);
            QAction* exit = nullptr;
            for (QAction* menu : w.menuBar()->actions())
                for (QAction* a : menu->menu()->actions())
                    if (a->text() == "退出") exit = a;
            exit->trigger();
            QCOMPARE(no.texts, QStringList{kExitQuestion});
        }
        QVERIFY(w.isVisible());
        QVERIFY(server_->IsRunning());

        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isVisible());

        Boxes yes(true);
        QVERIFY(w.close());  // the title-bar button's way
        QCOMPARE(yes.texts, QStringList{kExitQuestion});
        QVERIFY(!w.isVisible());
        QVERIFY(!server_->IsRunning());
    }

    void aTakenPortShowsTheBoxAndKeepsTheWindowShown() {
        QTcpServer blocker;
        QVERIFY(blocker.listen(QHostAddress::Any, 0));
        port_ = blocker.serverPort();
        WriteOptions("AutoActive=1\nMinimize=1\n");
        Boxes ok;
        CMainDlg& w = Open();
        w.Start();
        QCOMPARE(ok.texts.size(), 1);
        QCOMPARE(ok.texts[0], QString::fromStdString(fmt::sprintf(kStartFailed, port_)));
        QVERIFY(w.StartFailed());
        QVERIFY(w.isVisible());
        QVERIFY(!w.isMinimized());
        QVERIFY(!w.HideTimer()->isActive());
        QCOMPARE(Status(), QString("FTP服务器已停止/SSL服务器已停止"));
        QVERIFY(LogHas("Server cannot run on port " + std::to_string(port_) + "."));
    }

    void minimiseAtStartWithoutATrayKeepsTheWindowReachable() {
        if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this desktop has a tray");
        WriteOptions("AutoActive=1\nMinimize=1\n");
        CMainDlg& w = Open();
        w.Start();
        QVERIFY(server_->IsRunning());
        QTRY_VERIFY_WITH_TIMEOUT(w.isMinimized(), kDeadlineMs);
        QCOMPARE(w.HideTimer()->interval(), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!w.HideTimer()->isActive(), kDeadlineMs);
        // Without a tray, timer 1 has fired and left the window minimised, not hidden.
        QVERIFY(w.Tray() == nullptr);
        QVERIFY(w.isVisible());
        w.ShowMainWindow();
        QVERIFY(!w.isMinimized());
    }

    void expirySweepDisablesAccountsWhoseDateHasComeAtStart() {
        WriteOptions("");
        now_ = LocalTime(2031, 3, 15, 12, 0, 0);
        Sdbtool({"init"});
        // A home of the test's own: the start sweeps hidden upload files below every home.
        const QString home = QString::fromStdString(dir_);
        Sdbtool({"user", "add", "due", "--home", home, "--expires", "2031-03-15"});
        Sdbtool({"user", "add", "past", "--home", home, "--expires", "2031-03-14"});
        Sdbtool({"user", "add", "later", "--home", home, "--expires", "2031-03-16"});
        Sdbtool({"user", "add", "never", "--home", home});
        CMainDlg& w = Open();
        w.Start();
        std::map<std::string, int> status;
        std::vector<Account> accounts;
        QVERIFY(CAccountStore(dir_).Users(accounts));
        for (const Account& a : accounts) status[a.userid] = a.enabled;
        QCOMPARE(status["due"], 0);
        QCOMPARE(status["past"], 0);
        QCOMPARE(status["later"], 1);
        QCOMPARE(status["never"], 1);
        auto* list = w.UsersPage()->List();
        QCOMPARE(list->topLevelItemCount(), 4);
        for (int i = 0; i < 4; ++i) {
            const QTreeWidgetItem* item = list->topLevelItem(i);
            const bool disabled = item->text(0) == "due" || item->text(0) == "past";
            QCOMPARE(item->text(4), QString(disabled ? "Disable" : "Enable"));
        }
    }

    void theFirstEventAfterMidnightStartsANewLogListAndFile() {
        WriteOptions("Savelog=1\n");
        now_ = LocalTime(2031, 3, 15, 23, 59, 59);
        CMainDlg& w = Open();
        w.Start();
        server_->NotifyText(EventLevel::EVENT, "late");
        QTRY_VERIFY_WITH_TIMEOUT(LogHas("late"), kDeadlineMs);
        now_ += 2;
        server_->NotifyText(EventLevel::EVENT, "early");
        QTRY_VERIFY_WITH_TIMEOUT(LogHas("early"), kDeadlineMs);
        QCOMPARE(LogLines().Size(), size_t(1));
        QVERIFY(ReadSmallFile(dir_ + "log/20310315.txt").find("late") != std::string::npos);
        const std::string nextDay = ReadSmallFile(dir_ + "log/20310316.txt");
        QVERIFY(nextDay.find("early") != std::string::npos && nextDay.find("late") == std::string::npos);
        QVERIFY(w.isVisible());
    }

    void startupEntryFollowsTheSetting() {
        const QString entry = QString::fromStdString(dir_ + "config/autostart/plover.desktop");
        WriteOptions("Startup=1\n");
        Open().Start();
        QVERIFY(QFile::exists(entry));
        QVERIFY(ReadSmallFile(entry.toStdString()).find(QCoreApplication::applicationFilePath().toStdString()) !=
                std::string::npos);
        cleanup();
        WriteOptions("Startup=0\n");
        Open().Start();
        QVERIFY(!QFile::exists(entry));
    }

    void passiveAddressInternetTakesThePublicAddressFromTheLookup() {
        // A loopback page that answers like the public-address service.
        QTcpServer page;
        QVERIFY(page.listen(QHostAddress::LocalHost, 0));
        int requests = 0;
        connect(&page, &QTcpServer::newConnection, [&] {
            QTcpSocket* peer = page.nextPendingConnection();
            ++requests;
            auto request = std::make_shared<QByteArray>();
            connect(peer, &QTcpSocket::readyRead, peer, [peer, request] {
                *request += peer->readAll();
                if (!request->contains("\r\n\r\n")) return;
                peer->write("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nYour IP:203.0.113.7\n");
                peer->disconnectFromHost();
            });
        });
        WriteOptions("PassiveIP=Internet\n[DNS]\nLookupURL=http://127.0.0.1:" + std::to_string(page.serverPort()) + "/\n");
        Open().Start();
        QTRY_COMPARE_WITH_TIMEOUT(server_->GetPassiveAddress(), std::string("203.0.113.7"), kDeadlineMs);
        QCOMPARE(requests, 1);
    }

    // The options page's "IP过滤..." and "服务..." open their dialogs over the window, which keeps running.
    void theOptionsPageOpensTheFilterEditorAndTheServicePanel() {
        WriteOptions("");
        CMainDlg& w = Open();
        w.Start();
        auto button = [&](const char* text) {
            for (QPushButton* b : w.OptionsPage()->findChildren<QPushButton*>())
                if (b->text() == text) return b;
            return static_cast<QPushButton*>(nullptr);
        };
        QVERIFY(button("IP过滤...") && button("服务..."));
        QTest::mouseClick(button("IP过滤..."), Qt::LeftButton);
        auto* filter = w.findChild<CIpFilterDialog*>();
        QVERIFY(filter && filter->isVisible());
        QCOMPARE(filter->windowTitle(), QString("IP 过滤"));
        QPointer<CIpFilterDialog> closed = filter;
        filter->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!closed);
        QTest::mouseClick(button("服务..."), Qt::LeftButton);
        auto* service = w.findChild<CServicePanel*>();
        QVERIFY(service && service->isVisible());
        QCOMPARE(service->windowTitle(), QString("服务"));
        service->reject();
    }

    // Without certificates the page says so and makes a set; the TLS listener then starts on it and a real
    // FTPS client that trusts only RootCert.pem verifies the server by its address.
    void missingCertificatesAreMadeAndTheTlsListenerStartsOnThem() {
        WriteOptions("");
        Boxes boxes;
        CMainDlg& w = Open();
        w.Start();
        QVERIFY(!server_->IsSslRunning());
        COptionsPage* page = w.OptionsPage();
        QCOMPARE(page->CertificateLine()->text(), QString("未找到证书"));
        QVERIFY(page->MakeCertificatesButton()->isVisible());
        QTest::mouseClick(page->MakeCertificatesButton(), Qt::LeftButton);
        QVERIFY(server_->IsSslRunning());
        QCOMPARE(boxes.texts, QStringList());
        QVERIFY(!page->MakeCertificatesButton()->isVisible());
        QVERIFY(page->CertificateLine()->text().isEmpty());
        for (const char* file : {"ServerKey.pem", "ServerCert.pem", "RootCert.pem"})
            QCOMPARE(QFile::permissions(QString::fromStdString(dir_ + file)) & 0x0777,
                     QFile::ReadUser | QFile::WriteUser);  // nobody but the owner
        QProcess curl;
        curl.start("curl", {"-sS", "--max-time", "20", "--cacert", QString::fromStdString(dir_ + "RootCert.pem"),
                            QString("ftps://127.0.0.1:%1/").arg(tlsPort_), "--user", "anonymous:x"});
        QVERIFY(QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, kDeadlineMs));
        // Verified and greeted: the login itself is refused, as there are no accounts.
        const QString errors = QString::fromUtf8(curl.readAllStandardError());
        QVERIFY2(!errors.contains("certificate") && !errors.contains("SSL"), qPrintable(errors));
        QCOMPARE(curl.exitCode(), 67);  // "the user name, password, or similar was not accepted"

        // A set that is there but does not load is named, and never made over.
        QVERIFY(QFile::resize(QString::fromStdString(dir_ + "ServerKey.pem"), 10));
        page->hide();
        page->show();
        QVERIFY2(page->CertificateLine()->text().startsWith("证书无法使用: "), qPrintable(page->CertificateLine()->text()));
        QVERIFY(!page->MakeCertificatesButton()->isVisible());
    }

    void screenshotsOfEveryPage() {
        WriteOptions("AutoActive=1\nSavelog=0\n");
        Sdbtool({"init"});
        Sdbtool({"group", "add", "staff"});
        QVERIFY(EnsureDirectory(dir_ + "pub") && EnsureDirectory(dir_ + "alice"));
        Sdbtool({"user", "add", "anonymous", "--home", QString::fromStdString(dir_ + "pub"), "--email", "anon@example.com"});
        Sdbtool({"user", "add", "alice", "--password", "s3cret", "--home", QString::fromStdString(dir_ + "alice"),
                 "--groups", "staff"});
        CMainDlg& w = Open();
        w.Start();
        Client client(port_);
        QVERIFY(client.Reply().startsWith("220 "));
        client.Send("USER alice");
        QVERIFY(client.Reply().startsWith("331"));
        client.Send("PASS s3cret");
        client.Reply();
        QTRY_COMPARE_WITH_TIMEOUT(Online().Size(), 1, kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(LogHas("PASS"), kDeadlineMs);
        // The users page never shows a password.
        std::map<QString, QString> shown;
        auto* users = w.UsersPage()->List();
        for (int i = 0; i < users->topLevelItemCount(); ++i)
            shown[users->topLevelItem(i)->text(0)] = users->topLevelItem(i)->text(1);
        QCOMPARE(shown["alice"], QString("******"));
        QCOMPARE(shown["anonymous"], QString());
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        const char* const names[] = {"main-options", "main-log", "main-users", "main-groups", "main-online"};
        for (int i = 0; i < 5; ++i) {
            w.Tabs()->setCurrentIndex(i);
            QVERIFY(w.grab().save(QString(SCREENSHOT_DIR) + "/" + names[i] + ".png"));
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
