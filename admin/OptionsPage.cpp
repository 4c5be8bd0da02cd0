#include "admin/OptionsPage.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHostInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include "admin/MessageBoxes.h"

namespace tw::admin {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A label that names `field` for the keyboard and for assistive tools.
QLabel* LabelFor(const QString& text, QWidget* field, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(field);
    QString name = text;
    if (name.endsWith(':')) name.chop(1);
    field->setAccessibleName(name);
    return label;
}

QLineEdit* NumberEdit(QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setMaximumWidth(80);
    return edit;
}

}  // namespace

COptionsPage::COptionsPage(CAdminHost& host, OptionsPageActions actions, QWidget* parent)
    : QWidget(parent),
      host_(host),
      model_(host, QCoreApplication::applicationFilePath().toStdString()),
      actions_(std::move(actions)) {
    // Created in reading order, which is the Tab order.
    address_ = new QComboBox(this);
    address_->setMinimumContentsLength(36);
    auto* browse = new QPushButton("浏览", this);
    port_ = NumberEdit(this);
    restartFtp_ = new QPushButton("重启", this);
    tlsPort_ = NumberEdit(this);
    restartTls_ = new QPushButton("重启", this);
    restartFtp_->setAccessibleName("重启 FTP");
    restartTls_->setAccessibleName("重启 SSL");
    certificates_ = new QLabel(this);
    makeCertificates_ = new QPushButton("生成自签名证书", this);

    auto* top = new QGridLayout;
    top->addWidget(LabelFor("地址:", address_, this), 0, 0);
    top->addWidget(address_, 0, 1, 1, 4);
    top->addWidget(browse, 0, 5);
    top->addWidget(LabelFor("端口:", port_, this), 1, 0);
    top->addWidget(port_, 1, 1);
    top->addWidget(restartFtp_, 1, 2);
    top->addWidget(LabelFor("SSL 端口:", tlsPort_, this), 1, 3);
    top->addWidget(tlsPort_, 1, 4);
    top->addWidget(restartTls_, 1, 5);
    auto* certificateRow = new QHBoxLayout;
    certificateRow->addWidget(certificates_);
    certificateRow->addWidget(makeCertificates_);
    certificateRow->addStretch();
    top->addLayout(certificateRow, 2, 3, 1, 4);
    top->setColumnStretch(6, 1);

    auto* passive = new QGroupBox("被动模式选项", this);
    minPort_ = NumberEdit(passive);
    maxPort_ = NumberEdit(passive);
    passiveIp_ = new QComboBox(passive);
    passiveIp_->setMinimumContentsLength(16);
    auto* passiveGrid = new QGridLayout(passive);
    passiveGrid->addWidget(LabelFor("端口范围", minPort_, passive), 0, 0);
    passiveGrid->addWidget(minPort_, 0, 1);
    passiveGrid->addWidget(new QLabel("~", passive), 0, 2);
    passiveGrid->addWidget(maxPort_, 0, 3);
    maxPort_->setAccessibleName("端口范围 上限");
    passiveGrid->addWidget(LabelFor("IP地址", passiveIp_, passive), 1, 0);
    passiveGrid->addWidget(passiveIp_, 1, 1, 1, 3);
    passiveGrid->setRowStretch(2, 1);

    auto* connection = new QGroupBox("连接", this);
    auto* connectionGrid = new QGridLayout(connection);
    int index = 0;
    for (const ConnectionLimit& limit : kConnectionLimits) {
        QWidget* field;
        if (limit.choices) {
            auto* list = new QComboBox(connection);
            for (int value = limit.min; value <= limit.max; ++value) list->addItem(limit.choices[value - limit.min]);
            list->setCurrentIndex(std::clamp(model_.ConnectionValue(limit), limit.min, limit.max) - limit.min);
            connect(list, &QComboBox::currentIndexChanged, this, [this, &limit](int index) {
                Report(model_.SaveConnectionValue(limit, limit.min + index));
            });
            field = list;
        } else {
            auto* spin = new QSpinBox(connection);
            spin->setRange(limit.min, limit.max);
            spin->setValue(model_.ConnectionValue(limit));
            connect(spin, &QSpinBox::valueChanged, this, [this, &limit](int value) {
                Report(model_.SaveConnectionValue(limit, value));
            });
            field = spin;
        }
        const int row = index / 2, column = index % 2 * 2;
        connectionGrid->addWidget(LabelFor(limit.label, field, connection), row, column);
        connectionGrid->addWidget(field, row, column + 1);
        ++index;
    }
    const int noteRow = (index + 1) / 2;
    connectionGrid->addWidget(new QLabel("修改立即用于运行中的服务器。", connection), noteRow, 0, 1, 4);

    startup_ = new QCheckBox("随系统启动自动运行程序", this);
    minimize_ = new QCheckBox("启动最小化", this);
    autoActive_ = new QCheckBox("随程序运行自动启动FTP服务器", this);
    autoActiveTls_ = new QCheckBox("随程序运行自动启动SSL FTP服务器", this);
    saveLog_ = new QCheckBox("保存日志到文件", this);
    auto* logFolder = new QPushButton("...", this);
    logFolder->setAccessibleName("打开日志文件夹");
    logFolder->setMaximumWidth(40);
    auto* ipFilter = new QPushButton("IP过滤...", this);
    auto* service = new QPushButton("服务...", this);
    auto* dynamicDns = new QPushButton("Dynamic DNS...", this);
    status_ = new QLabel(this);

    auto* groups = new QHBoxLayout;
    groups->addWidget(passive);
    groups->addWidget(connection, 1);
    auto* boxes = new QGridLayout;
    boxes->addWidget(startup_, 0, 0);
    boxes->addWidget(minimize_, 0, 1, 1, 2);
    boxes->addWidget(autoActive_, 1, 0);
    boxes->addWidget(autoActiveTls_, 1, 1, 1, 2);
    auto* logRow = new QHBoxLayout;
    logRow->addWidget(saveLog_);
    logRow->addWidget(logFolder);
    logRow->addStretch();
    boxes->addLayout(logRow, 2, 0);
    boxes->setColumnStretch(2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ipFilter);
    buttons->addWidget(service);
    buttons->addWidget(dynamicDns);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(groups);
    layout->addLayout(boxes);
    layout->addLayout(buttons);
    layout->addWidget(status_);
    layout->addStretch();

    const OptionsForm form = model_.Form();
    port_->setText(Q(form.port));
    tlsPort_->setText(Q(form.tlsPort));
    minPort_->setText(Q(form.minPort));
    maxPort_->setText(Q(form.maxPort));
    startup_->setChecked(form.startup);
    minimize_->setChecked(form.minimize);
    autoActive_->setChecked(form.autoActive);
    autoActiveTls_->setChecked(form.autoActiveTls);
    saveLog_->setChecked(form.saveLog);
    restartFtp_->setEnabled(false);
    restartTls_->setEnabled(false);
    Refresh();

    connect(browse, &QPushButton::clicked, this, [this] { OpenAddress(); });
    connect(port_, &QLineEdit::textEdited, restartFtp_, [this] { restartFtp_->setEnabled(true); });
    connect(tlsPort_, &QLineEdit::textEdited, restartTls_, [this] { restartTls_->setEnabled(true); });
    // Enter in a port edit is its restart button.
    connect(port_, &QLineEdit::returnPressed, restartFtp_, [this] {
        if (restartFtp_->isEnabled()) restartFtp_->click();
    });
    connect(tlsPort_, &QLineEdit::returnPressed, restartTls_, [this] {
        if (restartTls_->isEnabled()) restartTls_->click();
    });
    connect(restartFtp_, &QPushButton::clicked, this, [this] { Restart(port_, restartFtp_, actions_.restartFtp); });
    connect(restartTls_, &QPushButton::clicked, this, [this] { Restart(tlsPort_, restartTls_, actions_.restartTls); });
    connect(makeCertificates_, &QPushButton::clicked, this, &COptionsPage::MakeCertificates);
    for (QLineEdit* edit : {minPort_, maxPort_})
        connect(edit, &QLineEdit::editingFinished, this, [this] { SaveOptions(); });
    connect(passiveIp_, &QComboBox::currentIndexChanged, this, [this] {
        if (!filling_) SaveOptions();
    });
    for (QCheckBox* box : {startup_, minimize_, autoActive_, saveLog_})
        connect(box, &QCheckBox::toggled, this, [this] { SaveOptions(); });
    connect(autoActiveTls_, &QCheckBox::toggled, this, [this] { SaveTlsOption(); });
    connect(logFolder, &QPushButton::clicked, this, [this] { OpenLogFolder(); });
    connect(ipFilter, &QPushButton::clicked, this, [this] {
        if (actions_.ipFilter) actions_.ipFilter();
    });
    connect(service, &QPushButton::clicked, this, [this] {
        if (actions_.service) actions_.service();
    });
}

int COptionsPage::Port() const { return host_.Settings().port; }
int COptionsPage::TlsPort() const { return host_.Settings().tlsPort; }

std::vector<std::string> COptionsPage::LocalAddresses() {
    std::vector<std::string> addresses, loopback;
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() != QAbstractSocket::IPv4Protocol) continue;
        (a.isLoopback() ? loopback : addresses).push_back(a.toString().toStdString());
    }
    addresses.insert(addresses.end(), loopback.begin(), loopback.end());
    return addresses;
}

void COptionsPage::Refresh() {
    filling_ = true;
    const std::vector<std::string> local = LocalAddresses();
    address_->clear();
    for (const std::string& a : model_.AddressList(local)) address_->addItem(Q(a));
    address_->setCurrentIndex(0);
    const std::vector<std::string> passive = COptionsModel::PassiveIpList(local);
    passiveIp_->clear();
    for (const std::string& a : passive) passiveIp_->addItem(Q(a));
    passiveIp_->setCurrentIndex(model_.PassiveIpSelection(passive));
    filling_ = false;
}

void COptionsPage::ShowCertificates() {
    const CertificateState state = model_.Certificates();
    certificates_->setText(state.missing ? "未找到证书"
                                         : state.problem.empty() ? QString() : "证书无法使用: " + Q(state.problem));
    certificates_->setVisible(!certificates_->text().isEmpty());
    makeCertificates_->setVisible(state.missing);
}

void COptionsPage::MakeCertificates() {
    std::vector<std::string> addresses = LocalAddresses();
    addresses.push_back("::1");
    std::string error;
    if (!model_.MakeCertificates({QHostInfo::localHostName().toStdString(), "localhost"}, addresses, error)) {
        ShowError(this, "无法生成证书: " + Q(error));
    } else if (actions_.restartTls) {
        actions_.restartTls();
    }
    ShowCertificates();
}

void COptionsPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
    ShowCertificates();
    restartFtp_->setEnabled(false);
    restartTls_->setEnabled(false);
}

OptionsForm COptionsPage::ReadForm() const {
    OptionsForm form;
    form.port = port_->text().toStdString();
    form.tlsPort = tlsPort_->text().toStdString();
    form.minPort = minPort_->text().toStdString();
    form.maxPort = maxPort_->text().toStdString();
    form.passiveIp = passiveIp_->currentText().toStdString();
    form.startup = startup_->isChecked();
    form.minimize = minimize_->isChecked();
    form.autoActive = autoActive_->isChecked();
    form.autoActiveTls = autoActiveTls_->isChecked();
    form.saveLog = saveLog_->isChecked();
    return form;
}

void COptionsPage::Report(bool written) {
    status_->setText(written ? QString() : QString("无法写入 %1").arg(Q(model_.IniPath())));
}

void COptionsPage::SaveOptions() { Report(model_.SaveOptions(ReadForm())); }

void COptionsPage::SaveTlsOption() { Report(model_.SaveTlsOption(ReadForm())); }

void COptionsPage::Restart(QLineEdit* edit, QPushButton* button, const std::function<void()>& restart) {
    if (!COptionsModel::ParsePort(edit->text().toStdString())) {
        status_->setText("端口号无效");
        return;
    }
    SaveOptions();
    button->setEnabled(false);
    if (restart) restart();
}

void COptionsPage::OpenAddress() {
    const std::string address = address_->currentText().toStdString();
    Report(model_.OpenAddress(address));
    QDesktopServices::openUrl(QUrl(Q(address)));
}

void COptionsPage::OpenLogFolder() { QDesktopServices::openUrl(QUrl::fromLocalFile(Q(model_.LogFolder()))); }

}  // namespace tw::admin
