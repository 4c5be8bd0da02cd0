#include "OptionsPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tw::admin {

namespace {

QLineEdit* MakePortEdit(int value, QWidget* parent) {
    auto* edit = new QLineEdit(QString::number(value), parent);
    edit->setValidator(new QIntValidator(1, 65535, edit));
    edit->setMaximumWidth(90);
    return edit;
}

// An edit with its "重启" button on one row.
QHBoxLayout* WithRestart(QLineEdit* edit, std::function<void()> restart, QWidget* parent) {
    auto* button = new QPushButton("重启", parent);
    QObject::connect(button, &QPushButton::clicked, parent, std::move(restart));
    auto* row = new QHBoxLayout;
    row->addWidget(edit);
    row->addWidget(button);
    row->addStretch();
    return row;
}

int PortOf(const QLineEdit* edit, int fallback) {
    bool ok = false;
    const int port = edit->text().toInt(&ok);
    return ok && port >= 1 && port <= 65535 ? port : fallback;
}

}  // namespace

COptionsPage::COptionsPage(const AdminSettings& settings, std::function<void()> restartFtp,
                           std::function<void()> restartTls, QWidget* parent)
    : QWidget(parent), settings_(settings), port_(MakePortEdit(settings.port, this)), tlsPort_(MakePortEdit(settings.tlsPort, this)) {
    auto* ports = new QFormLayout;
    ports->addRow("端口:", WithRestart(port_, std::move(restartFtp), this));
    ports->addRow("SSL 端口:", WithRestart(tlsPort_, std::move(restartTls), this));

    auto* passive = new QGroupBox("被动模式选项", this);
    auto* passiveForm = new QFormLayout(passive);
    passiveForm->addRow("端口范围", new QLabel(QString("%1 ~ %2").arg(settings.minPort).arg(settings.maxPort), passive));
    passiveForm->addRow("IP地址", new QLabel(settings.passiveIp.empty() ? QString("Default")
                                                                         : QString::fromStdString(settings.passiveIp),
                                             passive));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(ports);
    layout->addWidget(passive);
    const std::pair<const char*, bool> flags[] = {
        {"随系统启动自动运行程序", settings.startup},
        {"启动最小化", settings.minimize},
        {"随程序运行自动启动FTP服务器", settings.autoActive},
        {"随程序运行自动启动SSL FTP服务器", settings.autoActiveTls},
        {"保存日志到文件", settings.saveLog},
    };
    for (const auto& [text, on] : flags) {
        auto* box = new QCheckBox(text, this);
        box->setChecked(on);
        box->setEnabled(false);
        layout->addWidget(box);
    }
    layout->addStretch();
}

int COptionsPage::Port() const { return PortOf(port_, settings_.port); }
int COptionsPage::TlsPort() const { return PortOf(tlsPort_, settings_.tlsPort); }

}  // namespace tw::admin
