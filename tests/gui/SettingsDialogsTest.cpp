// The settings dialogs through their real widgets: the IP filter editor over an in-process server that a
// real FTP client (Python's ftplib) connects to, the IP address dialog's key filter, and the service panel
// running a fake tarnsvc directly, through a fake pkexec, or not at all.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "admin/AdminHost.h"
#include "admin/EngineLoop.h"
#include "admin/EventSinkAdapter.h"
#include "admin/IpAddressDialog.h"
#include "admin/IpFilterDialog.h"
#include "admin/MessageBoxes.h"
#include "admin/ServicePanel.h"
#include "engine/FtpServer.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"

using namespace tw;
using namespace tw::admin;

namespace {

constexpr int kDeadlineMs = 30000;

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One FTP client process: its first line is the greeting or "connect failed: <reply>".
class Client {
public:
    explicit Client(int port) { process_.start(PYTHON, {FTP_CLIENT, QString::number(port)}); }
    ~Client() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(kDeadlineMs)) process_.kill();
        process_.waitForFinished(kDeadlineMs);
    }
    void Send(const QString& line) { process_.write((line + "\n").toUtf8()); }
    // The next line, waited for while the GUI thread (and with it the server) keeps running.
    QString Reply() {
        if (!QTest::qWaitFor([this] { return process_.canReadLine(); }, kDeadlineMs)) return "(no reply)";
        return QString::fromUtf8(process_.readLine()).trimmed();
    }

private:
    QProcess process_;
};

// Records the boxes shown through MessageBoxes.h.
struct Boxes {
    QStringList texts;
    CBoxAnswererScope scope{[this](BoxKind, const QString& text) {
        texts << text;
        return true;
    }};
};

// Types `keys` one by one into whichever widget has the focus, as a person at the keyboard does.
void Type(const QString& keys) {
    for (QChar c : keys) QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
}

bool Activate(QWidget* window) {
    window->show();
    window->activateWindow();
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, kDeadlineMs);
}

QStringList Rows(const QListWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
    return rows;
}

void Screenshot(QWidget* widget, const char* name) {
    QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
    QVERIFY(widget->grab().save(QString(SCREENSHOT_DIR) + "/" + name));
}

void WriteScript(const std::string& path, const std::string& text) {
    QCOMPARE(WriteFileReplacing(path, text), 0);
    QVERIFY(QFile::setPermissions(QString::fromStdString(path), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

}  // namespace

class SettingsDialogsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::string dir_;  // the program directory (option.ini, the lists)
    int port_ = 0;
    std::unique_ptr<CEngineLoop> engine_;
    std::unique_ptr<CFtpServer> server_;
    std::unique_ptr<CEventSinkAdapter> sink_;
    std::unique_ptr<CAdminHost> host_;

    std::string Read(const std::string& name) const { return ReadSmallFile(dir_ + name); }
    void Write(const std::string& name, const std::string& text) const {
        QCOMPARE(WriteFileReplacing(dir_ + name, text), 0);
    }
    // The host over a running plain listener, with option.ini and the two lists as given.
    void StartServer(const std::string& options, const std::string& allow, const std::string& deny) {
        port_ = FreePort();
        Write("option.ini", "[Server]\r\nport=" + std::to_string(port_) + "\r\n" + options);
        Write("acceptip.txt", allow);
        Write("rejectip.txt", deny);
        server_ = std::make_unique<CFtpServer>();
        sink_ = std::make_unique<CEventSinkAdapter>([] {}, [] { return std::time(nullptr); });
        host_ = std::make_unique<CAdminHost>(*server_, *sink_, [] { return std::time(nullptr); });
        host_->LoadSettings();
        QVERIFY(host_->StartPlain(port_));
    }
    QString Greeting() {
        Client client(port_);
        return client.Reply();
    }
    // Adds `address` through "加入" and the IP address dialog, typed as a person would.
    void AddThroughDialog(CIpFilterDialog& dialog, const QString& address) {
        QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
        CIpAddressDialog* ask = dialog.AddressDialog();
        QVERIFY(ask);
        QVERIFY(ask->isModal());
        QVERIFY(Activate(ask));
        QCOMPARE(QApplication::focusWidget(), ask->Field(0));
        Type(address);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(!dialog.AddressDialog());
    }

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        engine_ = std::make_unique<CEngineLoop>();
    }

    void init() {
        dir_ = temp_.path().toStdString() + "/run" + std::to_string(QRandomGenerator::global()->generate()) + "/";
        QVERIFY(EnsureDirectory(dir_));
        qputenv("TARNWICK_HOME", QByteArray::fromStdString(dir_));
    }

    void cleanup() {
        host_.reset();
        server_.reset();
        sink_.reset();
    }

    void filterEditorKeepsAnAddressOnceShowsTheModesListAndTurnsARefusedClientAway() {
        StartServer("FilterMode=0\r\n", "10.1.1.1,10.1.1.2", ",10.9.9.9");
        QVERIFY(Greeting().startsWith("220 "));

        CIpFilterDialog dialog(*host_);
        QVERIFY(Activate(&dialog));
        QCOMPARE(dialog.windowTitle(), QString("IP 过滤"));
        QVERIFY(dialog.ModeButton(0)->isChecked());
        QVERIFY(Rows(dialog.List()).isEmpty());
        QVERIFY(!dialog.AddButton()->isEnabled());

        QTest::mouseClick(dialog.ModeButton(2), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), (QStringList{"10.1.1.1", "10.1.1.2"}));
        QTest::mouseClick(dialog.ModeButton(1), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), QStringList{"10.9.9.9"});

        AddThroughDialog(dialog, "127.0.0.1");
        AddThroughDialog(dialog, "127.0.0.1");
        QCOMPARE(Rows(dialog.List()), (QStringList{"10.9.9.9", "127.0.0.1"}));
        AddThroughDialog(dialog, "10.0.0.*");

        // Edit and delete want a selection.
        {
            Boxes boxes;
            dialog.List()->setCurrentRow(-1);
            QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
            QTest::mouseClick(dialog.DeleteButton(), Qt::LeftButton);
            QCOMPARE(boxes.texts, (QStringList{"请选择一个IP地址!", "请选择一个IP地址!"}));
            QVERIFY(!dialog.AddressDialog());
        }
        dialog.List()->setCurrentRow(2);
        QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
        CIpAddressDialog* ask = dialog.AddressDialog();
        QVERIFY(ask);
        QCOMPARE(ask->Field(1)->text(), QString("0"));
        QCOMPARE(ask->Field(3)->text(), QString("*"));
        ask->Field(3)->setText("7");
        QTest::mouseClick(ask->OkButton(), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), (QStringList{"10.9.9.9", "127.0.0.1", "10.0.0.7"}));
        QCOMPARE(dialog.List()->currentRow(), 2);

        dialog.List()->setCurrentRow(0);
        QTest::mouseClick(dialog.DeleteButton(), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), (QStringList{"127.0.0.1", "10.0.0.7"}));
        QCOMPARE(dialog.List()->currentRow(), 0);

        // The allow list was not touched by editing the deny list.
        QTest::mouseClick(dialog.ModeButton(2), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), (QStringList{"10.1.1.1", "10.1.1.2"}));
        QTest::mouseClick(dialog.ModeButton(1), Qt::LeftButton);
        QCOMPARE(Rows(dialog.List()), (QStringList{"127.0.0.1", "10.0.0.7"}));
        Screenshot(&dialog, "ip-filter.png");

        // Nothing reaches the files or the server before OK.
        QCOMPARE(Read("rejectip.txt"), std::string(",10.9.9.9"));
        QVERIFY(Greeting().startsWith("220 "));

        QTest::keyClick(dialog.List(), Qt::Key_Return);  // Enter is OK
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(Read("rejectip.txt"), std::string("127.0.0.1,10.0.0.7"));
        QCOMPARE(Read("acceptip.txt"), std::string("10.1.1.1,10.1.1.2"));
        QVERIFY(Read("option.ini").find("FilterMode=1\r\n") != std::string::npos);
        QCOMPARE(Greeting(), QString("connect failed: 421 Access denied, IP address was rejected by the server."));

        // Opened again, the editor starts from what was written.
        CIpFilterDialog again(*host_);
        QVERIFY(again.ModeButton(1)->isChecked());
        QCOMPARE(Rows(again.List()), (QStringList{"127.0.0.1", "10.0.0.7"}));
        QTest::mouseClick(again.ModeButton(2), Qt::LeftButton);
        QTest::mouseClick(again.OkButton(), Qt::LeftButton);
        QCOMPARE(Read("acceptip.txt"), std::string("10.1.1.1,10.1.1.2"));
        QCOMPARE(Greeting(), QString("connect failed: 421 Access denied, IP address was rejected by the server."));
    }

    void filterEditorCancelChangesNothingAndAnUnwritableFileIsNamed() {
        StartServer("FilterMode=0\r\n", "127.0.0.1", "");
        const std::string options = Read("option.ini");
        {
            CIpFilterDialog dialog(*host_);
            QVERIFY(Activate(&dialog));
            QTest::mouseClick(dialog.ModeButton(2), Qt::LeftButton);
            dialog.List()->setCurrentRow(0);
            QTest::mouseClick(dialog.DeleteButton(), Qt::LeftButton);
            QVERIFY(Rows(dialog.List()).isEmpty());
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        QCOMPARE(Read("option.ini"), options);
        QCOMPARE(Read("acceptip.txt"), std::string("127.0.0.1"));
        QCOMPARE(host_->AllowList(), std::string("127.0.0.1"));
        QVERIFY(Greeting().startsWith("220 "));

        // A directory where rejectip.txt belongs: the box names it, the rest is applied and written.
        QVERIFY(QFile::remove(QString::fromStdString(dir_ + "rejectip.txt")));
        QVERIFY(EnsureDirectory(dir_ + "rejectip.txt"));
        CIpFilterDialog dialog(*host_);
        QTest::mouseClick(dialog.ModeButton(1), Qt::LeftButton);
        Boxes boxes;
        QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
        QVERIFY(boxes.texts.isEmpty());
        dialog.ModeButton(1)->click();
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList{QString::fromStdString("无法写入 " + dir_ + "rejectip.txt")});
        QVERIFY(Read("option.ini").find("FilterMode=1\r\n") != std::string::npos);
        QCOMPARE(Read("acceptip.txt"), std::string("127.0.0.1"));
    }

    void addressDialogTakesDigitsStarsAndDotsOnly() {
        CIpAddressDialog dialog;
        QVERIFY(Activate(&dialog));
        QCOMPARE(dialog.windowTitle(), QString("IP地址"));
        for (int i = 0; i < 4; ++i) QCOMPARE(dialog.Field(i)->maxLength(), 3);
        QCOMPARE(QApplication::focusWidget(), dialog.Field(0));
        // Letters and other keys are dropped; "." goes on to the next field; a fourth character does not fit.
        Type("1a9x2.");
        QCOMPARE(dialog.Field(0)->text(), QString("192"));
        QCOMPARE(QApplication::focusWidget(), dialog.Field(1));
        Type("16-8.*");
        QCOMPARE(dialog.Field(1)->text(), QString("168"));
        QCOMPARE(dialog.Field(2)->text(), QString("*"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        QCOMPARE(dialog.Field(2)->text(), QString());
        QTest::keyClicks(dialog.Field(2), "0 ");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dialog.Field(3));
        QTest::keyClicks(dialog.Field(3), "2567");
        QCOMPARE(dialog.Field(3)->text(), QString("256"));
        QTest::keyClick(dialog.Field(3), '.');  // the last field has no next one
        QCOMPARE(dialog.Field(3)->text(), QString("256"));

        QTest::keyClick(dialog.Field(3), Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.ErrorLabel()->text(), QString("IP地址无效"));
        Screenshot(&dialog, "ip-address.png");
        dialog.Field(3)->clear();
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);  // an empty field
        QVERIFY(dialog.isVisible());
        QTest::keyClicks(dialog.Field(3), "25");
        QTest::keyClick(dialog.Field(3), Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Address(), std::string("192.168.0.25"));

        CIpAddressDialog opened("10.20.*.4");
        QCOMPARE(opened.Field(0)->text(), QString("10"));
        QCOMPARE(opened.Field(2)->text(), QString("*"));
        QCOMPARE(opened.Address(), std::string("10.20.*.4"));
        QVERIFY(Activate(&opened));
        QTest::keyClick(opened.Field(0), Qt::Key_Escape);
        QCOMPARE(opened.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(SettingsDialogsTest)
#include "SettingsDialogsTest.moc"
