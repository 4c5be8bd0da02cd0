// The settings dialogs through their real widgets: the IP filter editor over an in-process server that a
// real FTP client (Python's ftplib) connects to, the IP address dialog's key filter, and the service panel
// running a fake tarnsvc directly, through a fake pkexec, or not at all.
#include <QAccessible>
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
#include "tests/gui/GuiTestSupport.h"

using namespace tw;
using namespace tw::admin;

namespace {

using test::Boxes;
using test::Client;
using test::FreePort;
using test::kDeadlineMs;

// Types `keys` one by one into whichever widget has the focus, as a person at the keyboard does.
void Type(const QString& keys) {
    for (QChar c : keys) QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
}

// The spy's signal has come, or comes within the deadline (the loop may have run since the spy was made).
bool Signalled(QSignalSpy& spy) { return !spy.isEmpty() || spy.wait(kDeadlineMs); }

bool Activate(QWidget* window) {
    window->show();
    window->activateWindow();
    return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, kDeadlineMs);
}

QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(QAccessible::Name) : QString();
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
    QVERIFY(QFile::setPermissions(QString::fromStdString(path),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
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
    const QByteArray path_ = qgetenv("PATH");

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

    // Fakes that use only shell built-ins and absolute paths, so that PATH can be made to hold nothing but
    // the fake pkexec (or nothing at all). tarnsvc records its switch and does to a unit directory and a
    // state file what the real one does to systemd, exiting 1 on success; "-e" fails with a message.
    // pkexec records its arguments, one a line, and runs them; systemctl answers the state file.
    struct Fakes {
        std::string tools, bin, units, nothing;
    };
    Fakes WriteFakes() {
        Fakes f{dir_ + "tool dir/", dir_ + "bin/", dir_ + "units/", dir_ + "empty/"};
        for (const std::string& d : {f.tools, f.bin, f.units, f.nothing}) EnsureDirectory(d);
        const std::string unit = f.units + "tarnwick-ftp.service", state = dir_ + "state";
        WriteScript(f.tools + "tarnsvc", "#!/bin/sh\n"
                                         "printf '%s\\n' \"$*\" >> '" + dir_ + "calls'\n"
                                         "case \"$1\" in\n"
                                         "  -i) : > '" + unit + "'; echo 'Service succesfully installed';;\n"
                                         "  -u) /bin/rm -f '" + unit + "';;\n"
                                         "  -s) echo active > '" + state + "';;\n"
                                         "  -e) echo \"Couldn't stop the service\" >&2; exit 0;;\n"
                                         "esac\n"
                                         "exit 1\n");
        WriteScript(f.bin + "pkexec", "#!/bin/sh\n"
                                      "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + dir_ + "pkexec-args'\n"
                                      "exec \"$@\"\n");
        WriteScript(f.bin + "systemctl", "#!/bin/sh\nread -r s < '" + state + "'\necho \"$s\"\n");
        Write("state", "inactive\n");
        qputenv("TARNWICK_UNIT_DIR", QByteArray::fromStdString(f.units));
        qputenv("TARNWICK_SYSTEMCTL", QByteArray::fromStdString(f.bin + "systemctl"));
        return f;
    }
    // Clicks a switch's button and waits for the run to be shown.
    void RunButton(CServicePanel& panel, ServiceSwitch which) {
        QSignalSpy refreshed(&panel, &CServicePanel::Refreshed);
        QTest::mouseClick(panel.Button(which), Qt::LeftButton);
        QVERIFY(panel.Busy());
        QVERIFY(!panel.Button(ServiceSwitch::Install)->isEnabled());  // one run at a time
        QVERIFY(Signalled(refreshed));
        QVERIFY(!panel.Busy());
    }
    QString State(const CServicePanel& panel) const { return panel.StateLabel()->text(); }

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        engine_ = std::make_unique<CEngineLoop>();
    }

    void init() {
        dir_ = test::NewProgramDirectory(temp_);
        QVERIFY(!dir_.empty());
        qputenv("TARNWICK_HOME", QByteArray::fromStdString(dir_));
    }

    void cleanup() {
        qputenv("PATH", path_);
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
        QCOMPARE(AccessibleName(dialog.List()), QString("IP 过滤:"));
        QCOMPARE(AccessibleName(dialog.ModeButton(1)), QString("拒绝所有来自IP地址列表中的IP的访问"));
        // Tab goes through the controls in reading order (the checked mode stands for its group).
        const QList<QWidget*> order{dialog.ModeButton(1), dialog.List(),     dialog.AddButton(), dialog.EditButton(),
                                    dialog.DeleteButton(), dialog.OkButton(), dialog.CancelButton()};
        order[0]->setFocus();
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), order[i]);
        }

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
        QVERIFY(Activate(&dialog));
        QTest::mouseClick(dialog.ModeButton(1), Qt::LeftButton);
        Boxes boxes;
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList{QString::fromStdString("无法写入 " + dir_ + "rejectip.txt")});
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(Read("option.ini").find("FilterMode=1\r\n") != std::string::npos);
        QCOMPARE(Read("acceptip.txt"), std::string("127.0.0.1"));
    }

    void filterEditorShowsKeepsAndTakesIpv6Entries() {
        StartServer("FilterMode=1\r\n", "", "::1,2001:db8::/32,10.0.0.1");
        CIpFilterDialog dialog(*host_);
        QVERIFY(Activate(&dialog));
        QCOMPARE(Rows(dialog.List()), (QStringList{"::1", "2001:db8::/32", "10.0.0.1"}));

        // An IPv6 entry opens whole in the IPv6 text, the four fields empty.
        dialog.List()->setCurrentRow(1);
        QTest::mouseClick(dialog.EditButton(), Qt::LeftButton);
        CIpAddressDialog* ask = dialog.AddressDialog();
        QVERIFY(ask);
        QVERIFY(Activate(ask));
        QCOMPARE(ask->Ipv6Field()->text(), QString("2001:db8::/32"));
        QCOMPARE(QApplication::focusWidget(), ask->Ipv6Field());
        for (int i = 0; i < 4; ++i) QVERIFY(ask->Field(i)->text().isEmpty());
        QCOMPARE(AccessibleName(ask->Ipv6Field()), QString("或输入IPv6地址或前缀:"));
        QTest::keyClick(ask->Ipv6Field(), Qt::Key_End);  // the text is selected whole on opening
        QTest::keyClick(ask->Ipv6Field(), Qt::Key_Backspace);
        QTest::keyClick(ask->Ipv6Field(), Qt::Key_Backspace);
        Type("48");
        QCOMPARE(ask->Ipv6Field()->text(), QString("2001:db8::/48"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(!dialog.AddressDialog());
        QCOMPARE(Rows(dialog.List()), (QStringList{"::1", "2001:db8::/48", "10.0.0.1"}));

        // A new one typed into the IPv6 text; a malformed one or one with a zone is refused.
        QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
        ask = dialog.AddressDialog();
        QVERIFY(ask);
        QVERIFY(Activate(ask));
        QTest::keyClicks(ask->Field(0), "10");
        ask->Ipv6Field()->setFocus();
        Type("1::2::3");
        for (int i = 0; i < 4; ++i) QVERIFY(ask->Field(i)->text().isEmpty());  // one kind of input at a time
        QTest::keyClick(ask->Ipv6Field(), Qt::Key_Return);
        QVERIFY(ask->isVisible());
        QCOMPARE(ask->ErrorLabel()->text(), QString("IP地址无效"));
        ask->Ipv6Field()->clear();
        Type("fe80::1%lo0");  // the validator keeps "%" and letters past f out
        QCOMPARE(ask->Ipv6Field()->text(), QString("fe80::10"));
        QCOMPARE(ask->ErrorLabel()->text(), QString());  // the complaint went with the edit
        Screenshot(ask, "ip-address-ipv6.png");
        QTest::keyClick(ask->Ipv6Field(), Qt::Key_Return);
        QVERIFY(!dialog.AddressDialog());
        QCOMPARE(Rows(dialog.List()), (QStringList{"::1", "2001:db8::/48", "10.0.0.1", "fe80::10"}));

        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(Read("rejectip.txt"), std::string("::1,2001:db8::/48,10.0.0.1,fe80::10"));
        QVERIFY(Greeting().startsWith("220 "));  // 127.0.0.1 is not listed
    }

    void addressDialogTakesDigitsStarsAndDotsOnly() {
        CIpAddressDialog dialog;
        QVERIFY(Activate(&dialog));
        QCOMPARE(dialog.windowTitle(), QString("IP地址"));
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(dialog.Field(i)->maxLength(), 3);
            QVERIFY(AccessibleName(dialog.Field(i)).startsWith("输入IP地址:"));
        }
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


    void servicePanelRunsTheSwitchesThroughPkexecAndStartingTheServiceEndsTheAutomaticStarts() {
        Write("option.ini", "[Server]\r\nAutoActive=1\r\nAutoActiveSSL=1\r\nftpservice=0\r\n");
        const Fakes f = WriteFakes();
        qputenv("PATH", QByteArray::fromStdString(f.bin));
        QString callsAtStop = "(not stopped)";
        auto stopListeners = [&] { callsAtStop = QString::fromStdString(Read("calls")); };
        CServicePanel panel(dir_, f.tools, stopListeners, false);
        QSignalSpy opened(&panel, &CServicePanel::Refreshed);
        QVERIFY(Activate(&panel));
        QVERIFY(Signalled(opened));
        QCOMPARE(panel.windowTitle(), QString("服务"));
        QCOMPARE(State(panel), QString("服务状态: 未安装"));
        QVERIFY(!panel.FtpBox()->isChecked());
        QVERIFY(panel.TlsBox()->isChecked());  // missing: on

        // Tab goes through the controls in reading order.
        const QList<QWidget*> order{panel.Button(ServiceSwitch::Install), panel.Button(ServiceSwitch::Uninstall),
                                    panel.Button(ServiceSwitch::Start),   panel.Button(ServiceSwitch::Stop),
                                    panel.FtpBox(),                       panel.TlsBox(),
                                    panel.CloseButton()};
        order[0]->setFocus();
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), order[i]);
        }

        Boxes boxes;
        RunButton(panel, ServiceSwitch::Install);
        const std::string tarnsvc = f.tools + "tarnsvc";
        QCOMPARE(Read("pkexec-args"), tarnsvc + "\n-i\n");  // the path with its blank is one argument
        QCOMPARE(State(panel), QString("服务状态: 已安装, 未运行 (inactive)"));

        RunButton(panel, ServiceSwitch::Start);
        QCOMPARE(callsAtStop, QString("-i\n"));  // the listeners were stopped before the service started
        QCOMPARE(Read("calls"), std::string("-i\n-s\n"));
        QCOMPARE(State(panel), QString("服务状态: 已安装, 正在运行"));
        const std::string options = Read("option.ini");
        QVERIFY(options.find("AutoActive=0\r\n") != std::string::npos);
        QVERIFY(options.find("AutoActiveSSL=0\r\n") != std::string::npos);
        QVERIFY(boxes.texts.isEmpty());

        // A switch that fails shows its exit status and what it wrote.
        RunButton(panel, ServiceSwitch::Stop);
        QCOMPARE(boxes.texts, QStringList{QString::fromStdString("命令失败: " + f.bin + "pkexec '" + tarnsvc +
                                                                 "' -e\n退出状态: 0\nCouldn't stop the service")});
        QCOMPARE(State(panel), QString("服务状态: 已安装, 正在运行"));

        QTest::keyClick(panel.FtpBox(), Qt::Key_Space);
        QTest::keyClick(panel.TlsBox(), Qt::Key_Space);
        QVERIFY(Read("option.ini").find("ftpservice=1\r\n") != std::string::npos);
        QVERIFY(Read("option.ini").find("ftpsservice=0\r\n") != std::string::npos);
        Screenshot(&panel, "service-panel.png");

        // Without pkexec nothing runs: the box names the command to run as root.
        qputenv("PATH", QByteArray::fromStdString(f.nothing));
        boxes.texts.clear();
        QSignalSpy refreshed(&panel, &CServicePanel::Refreshed);
        QTest::mouseClick(panel.Button(ServiceSwitch::Uninstall), Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList{QString::fromStdString("需要管理员权限: 请以root身份运行 '" + tarnsvc + "' -u")});
        QVERIFY(!panel.Busy());
        QCOMPARE(refreshed.count(), 0);
        QCOMPARE(Read("calls"), std::string("-i\n-s\n-e\n"));

        QTest::keyClick(&panel, Qt::Key_Escape);
        QVERIFY(!panel.isVisible());
    }

    void servicePanelAsRootRunsTarnsvcItself() {
        const Fakes f = WriteFakes();
        qputenv("PATH", QByteArray::fromStdString(f.bin));
        QVERIFY(WriteFileReplacing(f.units + "tarnwick-ftp.service", "[Unit]\n") == 0);
        bool stopped = false;
        CServicePanel panel(dir_, f.tools, [&] { stopped = true; }, true);
        QSignalSpy opened(&panel, &CServicePanel::Refreshed);
        QVERIFY(Activate(&panel));
        QVERIFY(Signalled(opened));
        QCOMPARE(State(panel), QString("服务状态: 已安装, 未运行 (inactive)"));
        QVERIFY(panel.FtpBox()->isChecked() && panel.TlsBox()->isChecked());

        Boxes boxes;
        RunButton(panel, ServiceSwitch::Uninstall);
        QCOMPARE(Read("calls"), std::string("-u\n"));
        QVERIFY(!PathExists(dir_ + "pkexec-args"));
        QVERIFY(!stopped);  // only starting the service stops this program's listeners
        QCOMPARE(State(panel), QString("服务状态: 未安装"));
        QVERIFY(boxes.texts.isEmpty());
        QVERIFY(!PathExists(dir_ + "option.ini"));  // nothing but "启动服务" and the boxes writes option.ini

        QTest::mouseClick(panel.CloseButton(), Qt::LeftButton);
        QVERIFY(!panel.isVisible());
    }
};

QTEST_MAIN(SettingsDialogsTest)
#include "SettingsDialogsTest.moc"
