// The options page driven through its widgets inside the main window: each key written at once and read
// back through the settings reader, the restart buttons with a real client on the new port, the passive
// address in a PASV reply, a connection limit applied at once, browse and the folder through the URL seam.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "admin/AdminSettings.h"
#include "admin/EngineLoop.h"
#include "admin/EventSinkAdapter.h"
#include "admin/MainDlg.h"
#include "admin/OptionsPage.h"
#include "engine/FtpServer.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "tests/gui/GuiTestSupport.h"

using namespace tw;
using namespace tw::admin;
using tw::test::Client;
using tw::test::FreePort;
using tw::test::kDeadlineMs;

// Takes the URLs the page asks the desktop to open.
class UrlRecorder : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void Open(const QUrl& url) { urls << url; }
};

class OptionsPageTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home_;
    std::string dir_;
    int port_ = 0, tlsPort_ = 0;
    std::unique_ptr<CEngineLoop> engine_;
    std::unique_ptr<CFtpServer> server_;
    std::unique_ptr<CMainDlg> window_;

    void WriteOptions(const std::string& extra) {
        QCOMPARE(WriteFileReplacing(dir_ + "option.ini", "[Server]\nport=" + std::to_string(port_) +
                                                       "\nsslport=" + std::to_string(tlsPort_) + "\n" + extra), 0);
    }
    std::string File() const { return ReadSmallFile(dir_ + "option.ini"); }
    bool Has(const std::string& line) const { return File().find(line + "\r\n") != std::string::npos; }
    COptionsPage& Open() {
        server_ = std::make_unique<CFtpServer>();
        window_ = std::make_unique<CMainDlg>(*server_);
        window_->Start();
        window_->Tabs()->setCurrentIndex(0);
        return *window_->OptionsPage();
    }
    template <typename T>
    static T* Named(const QWidget& page, const QString& name) {
        for (T* w : page.findChildren<T*>())
            if (w->accessibleName() == name || w->property("text").toString() == name) return w;
        return nullptr;
    }
    static QPushButton* Button(const QWidget& page, const QString& text) { return Named<QPushButton>(page, text); }
    static QCheckBox* Box(const QWidget& page, const QString& text) { return Named<QCheckBox>(page, text); }
    // A click on the box's indicator (a check box is as wide as its cell, but only its text and box take clicks).
    static void Click(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }
    // Types `text` over the edit's content, as a user does.
    static void Type(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    void Sdbtool(const QStringList& args) { QCOMPARE(test::Sdbtool(dir_, args), 0); }

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
    }

    void cleanup() {
        window_.reset();
        server_.reset();
    }

    void everyControlWritesItsKeyAtOnce() {
        WriteOptions("");
        COptionsPage& page = Open();
        for (const char* text : {"随系统启动自动运行程序", "启动最小化", "随程序运行自动启动FTP服务器",
                                 "随程序运行自动启动SSL FTP服务器", "保存日志到文件"}) {
            QCheckBox* box = Box(page, text);
            QVERIFY2(box, text);
            Click(box);
        }
        Type(Named<QLineEdit>(page, "端口范围"), "6000");
        QTest::keyClick(Named<QLineEdit>(page, "端口范围"), Qt::Key_Return);
        Type(Named<QLineEdit>(page, "端口范围 上限"), "5000");
        QTest::keyClick(Named<QLineEdit>(page, "端口范围 上限"), Qt::Key_Return);
        const int loopback = page.PassiveIpList()->findText("127.0.0.1");
        QVERIFY(loopback >= 2);
        page.PassiveIpList()->setCurrentIndex(loopback);

        for (const std::string& line :
             {std::string("startup=1"), std::string("Minimize=1"), std::string("AutoActive=1"),
              std::string("AutoActiveSSL=1"), std::string("Savelog=1"), std::string("MinPort=6000"),
              std::string("MaxPort=5000"), std::string("PassiveIP=127.0.0.1"), "Port=" + std::to_string(port_),
              "SSLPort=" + std::to_string(tlsPort_)})
            QVERIFY2(Has(line), (line + " in\n" + File()).c_str());
        const AdminSettings read = ReadAdminSettings(dir_ + "option.ini");
        QVERIFY(read.startup && read.minimize && read.autoActive && read.autoActiveTls && read.saveLog);
        QCOMPARE(read.minPort, 6000);
        QCOMPARE(read.maxPort, 5000);
        QCOMPARE(read.passiveIp, std::string("127.0.0.1"));
        QCOMPARE(server_->GetPassiveAddress(), std::string("127.0.0.1"));
        QVERIFY(QFile::exists(QString::fromStdString(dir_ + "config/autostart/plover.desktop")));
        QCOMPARE(page.StatusLine()->text(), QString());
    }

    void aRestartButtonWaitsForItsPortAndRefusesAnInvalidOne() {
        WriteOptions("AutoActive=1\n");
        COptionsPage& page = Open();
        QVERIFY(server_->IsRunning());
        QPushButton* restartFtp = Named<QPushButton>(page, "重启 FTP");
        QPushButton* restartTls = Named<QPushButton>(page, "重启 SSL");
        QVERIFY(!restartFtp->isEnabled() && !restartTls->isEnabled());

        const int newPort = FreePort(tlsPort_);
        Type(page.PortEdit(), QString::number(newPort));
        QVERIFY(restartFtp->isEnabled());
        QVERIFY(!restartTls->isEnabled());
        QCOMPARE(server_->ListeningPort(), port_);  // nothing happens before the restart
        QTest::keyClick(page.PortEdit(), Qt::Key_Return);  // Enter is the restart button
        QVERIFY(!restartFtp->isEnabled());
        QCOMPARE(server_->ListeningPort(), newPort);
        QVERIFY(Has("Port=" + std::to_string(newPort)));
        {
            Client client(newPort);
            QCOMPARE(client.Reply(), QString("220 Welcome to Tarnwick FTP Server!"));
        }

        const std::string before = File();
        for (const char* bad : {"", "abc", "0", "70000"}) {
            Type(page.PortEdit(), bad);
            QVERIFY2(restartFtp->isEnabled(), bad);
            QTest::mouseClick(restartFtp, Qt::LeftButton);
            QCOMPARE(page.StatusLine()->text(), QString("端口号无效"));
            QCOMPARE(File(), before);
            QCOMPARE(server_->ListeningPort(), newPort);
        }
        Type(page.TlsPortEdit(), "0");
        QVERIFY(restartTls->isEnabled());
        QTest::mouseClick(restartTls, Qt::LeftButton);
        QCOMPARE(page.StatusLine()->text(), QString("端口号无效"));
        QVERIFY(!server_->IsSslRunning());
    }

    void theChosenPassiveAddressIsInThePasvReply() {
        Sdbtool({"init"});
        QVERIFY(EnsureDirectory(dir_ + "alice"));
        Sdbtool({"user", "add", "alice", "--password", "s3cret", "--home", QString::fromStdString(dir_ + "alice")});
        WriteOptions("AutoActive=1\n");
        COptionsPage& page = Open();
        QComboBox* list = page.PassiveIpList();
        QCOMPARE(list->itemText(0), QString("Default"));
        QCOMPARE(list->itemText(1), QString("Internet"));
        QCOMPARE(list->currentIndex(), 0);
        int chosen = -1;
        for (int i = 2; i < list->count() && chosen < 0; ++i)
            if (list->itemText(i) != "127.0.0.1") chosen = i;
        if (chosen < 0) QSKIP("this host has no address besides loopback");
        list->setCurrentIndex(chosen);
        Client client(port_);
        QVERIFY(client.Reply().startsWith("220 "));
        client.Send("USER alice");
        QVERIFY(client.Reply().startsWith("331"));
        client.Send("PASS s3cret");
        QVERIFY(client.Reply().startsWith("230"));
        client.Send("PASV");
        const QString reply = client.Reply();
        const QString address = QString(list->itemText(chosen)).replace('.', ',');
        QVERIFY2(reply.startsWith("227 ") && reply.contains("(" + address + ","), qPrintable(reply));
    }

    void choosingInternetTakesThePublicAddressFromTheLookup() {
        // A loopback page that answers like the public-address service.
        QTcpServer lookup;
        QVERIFY(lookup.listen(QHostAddress::LocalHost, 0));
        connect(&lookup, &QTcpServer::newConnection, [&] {
            QTcpSocket* peer = lookup.nextPendingConnection();
            auto request = std::make_shared<QByteArray>();
            connect(peer, &QTcpSocket::readyRead, peer, [peer, request] {
                *request += peer->readAll();
                if (!request->contains("\r\n\r\n")) return;
                peer->write("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nYour IP:203.0.113.9\n");
                peer->disconnectFromHost();
            });
        });
        WriteOptions("PassiveIP=10.0.0.3\n[DNS]\nLookupURL=http://127.0.0.1:" + std::to_string(lookup.serverPort()) +
                     "/\n");
        COptionsPage& page = Open();
        QCOMPARE(page.PassiveIpList()->currentIndex(), 0);  // a stored address that is not in the list
        QCOMPARE(server_->GetPassiveAddress(), std::string("10.0.0.3"));
        page.PassiveIpList()->setCurrentIndex(1);
        QVERIFY(Has("PassiveIP=Internet"));
        QTRY_COMPARE_WITH_TIMEOUT(server_->GetPassiveAddress(), std::string("203.0.113.9"), kDeadlineMs);
    }

    void aConnectionLimitAppliesToTheRunningServer() {
        WriteOptions("AutoActive=1\n");
        COptionsPage& page = Open();
        QSpinBox* perIp = Named<QSpinBox>(page, "每IP最大连接数");
        QVERIFY(perIp);
        QCOMPARE(perIp->value(), 0);
        perIp->setFocus();
        perIp->selectAll();
        QTest::keyClicks(perIp, "1");
        QCOMPARE(perIp->value(), 1);
        QVERIFY(Has("MaxPerIP=1"));
        Client first(port_);
        QVERIFY(first.Reply().startsWith("220 "));
        Client second(port_);
        QCOMPARE(second.Reply(), QString("connect failed: 421 Too many connections from your address."));

        // The TLS policy is a list, chosen by keyboard, and the running server refuses a clear login at once.
        QComboBox* force = Named<QComboBox>(page, "强制 TLS");
        QVERIFY(force);
        QCOMPARE(force->currentText(), QString("不强制"));
        force->setFocus();
        QTest::keyClick(force, Qt::Key_Down);
        QCOMPARE(force->currentText(), QString("登录须用 TLS"));
        QVERIFY(Has("ForceTLS=1"));
        QCOMPARE(first.Ask("USER test"), QString("530 Login requires TLS: use AUTH TLS."));
    }

    void browseStoresTheUserOfTheAddressAndOpensIt() {
        WriteOptions("[DEFAULT]\nUSER=bob\nPASS=pw\n");
        COptionsPage& page = Open();
        QComboBox* list = page.AddressList();
        QCOMPARE(list->currentIndex(), 0);
        QVERIFY(list->itemText(0).startsWith("ftp://") && !list->itemText(0).contains('@'));
        QVERIFY(list->itemText(0).endsWith(":" + QString::number(port_)));
        QVERIFY(list->itemText(1).startsWith("ftp://bob:pw@"));
        QVERIFY(list->itemText(list->count() - 1).startsWith("ftp://127.0.0.1:"));  // loopback last
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler("ftp", &recorder, "Open");
        WriteOptions("");  // what browse stores is seen anew
        QTest::mouseClick(Button(page, "浏览"), Qt::LeftButton);
        QVERIFY(File().find("[DEFAULT]") == std::string::npos);
        list->setCurrentIndex(1);
        QTest::mouseClick(Button(page, "浏览"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("ftp");
        QVERIFY(Has("USER=bob") && Has("PASS=pw"));
        QCOMPARE(recorder.urls.size(), 2);
        QCOMPARE(recorder.urls[0], QUrl(list->itemText(0)));
        QCOMPARE(recorder.urls[1], QUrl(list->itemText(1)));

        QDesktopServices::setUrlHandler("file", &recorder, "Open");
        QTest::mouseClick(Named<QPushButton>(page, "打开日志文件夹"), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(recorder.urls.size(), 3);
        QCOMPARE(recorder.urls[2].toLocalFile(), QString::fromStdString(dir_ + "log"));
    }

    void theDialogButtonsCallBackAndAnUnwritableFileIsSaid() {
        QVERIFY(QDir().mkpath(QString::fromStdString(dir_ + "option.ini")));  // no file can go there
        CFtpServer server;
        CEventSinkAdapter sink([] {}, [] { return std::time(nullptr); });
        CAdminHost host(server, sink, [] { return std::time(nullptr); });
        host.LoadSettings();
        int filters = 0, services = 0;
        COptionsPage page(host, {.ipFilter = [&] { ++filters; }, .service = [&] { ++services; }});
        page.show();
        QTest::mouseClick(Button(page, "IP过滤..."), Qt::LeftButton);
        QTest::mouseClick(Button(page, "服务..."), Qt::LeftButton);
        QTest::mouseClick(Button(page, "服务..."), Qt::LeftButton);
        QTest::mouseClick(Button(page, "Dynamic DNS..."), Qt::LeftButton);
        QCOMPARE(filters, 1);
        QCOMPARE(services, 2);
        QCOMPARE(page.StatusLine()->text(), QString());
        Click(Box(page, "启动最小化"));
        QCOMPARE(page.StatusLine()->text(), QString::fromStdString("无法写入 " + dir_ + "option.ini"));
    }

    void everyControlIsNamedAndTabGoesInReadingOrder() {
        WriteOptions("");
        COptionsPage& page = Open();
        for (QWidget* w : page.findChildren<QWidget*>()) {
            if (qobject_cast<QLineEdit*>(w) && qobject_cast<QSpinBox*>(w->parentWidget())) continue;
            if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QSpinBox*>(w))
                QVERIFY2(!w->accessibleName().isEmpty(), w->metaObject()->className());
            if (auto* b = qobject_cast<QAbstractButton*>(w)) QVERIFY(!b->text().isEmpty());
        }
        const QList<QWidget*> expected{page.AddressList(),
                                       Button(page, "浏览"),
                                       page.PortEdit(),
                                       Named<QPushButton>(page, "重启 FTP"),
                                       page.TlsPortEdit(),
                                       Named<QPushButton>(page, "重启 SSL"),
                                       Named<QLineEdit>(page, "端口范围"),
                                       Named<QLineEdit>(page, "端口范围 上限"),
                                       page.PassiveIpList(),
                                       Named<QSpinBox>(page, "最大连接数"),
                                       Named<QSpinBox>(page, "空闲超时(分钟)"),
                                       Named<QSpinBox>(page, "禁止时间(分钟)"),
                                       Box(page, "随系统启动自动运行程序"),
                                       Box(page, "保存日志到文件"),
                                       Named<QPushButton>(page, "打开日志文件夹"),
                                       Button(page, "IP过滤..."),
                                       Button(page, "服务..."),
                                       Button(page, "Dynamic DNS...")};
        for (QWidget* w : expected) QVERIFY(w);
        QList<QWidget*> chain;
        QWidget* w = page.AddressList();
        for (int i = 0; i < 200 && chain.size() < expected.size(); ++i, w = w->nextInFocusChain())
            if (expected.contains(w) && !chain.contains(w)) chain << w;
        QCOMPARE(chain, expected);

        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        window_->Tabs()->setCurrentIndex(0);
        QVERIFY(window_->grab().save(QString(SCREENSHOT_DIR) + "/options-page.png"));
    }
};

QTEST_MAIN(OptionsPageTest)
#include "OptionsPageTest.moc"
