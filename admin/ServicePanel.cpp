#include "admin/ServicePanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <memory>

#include "admin/MessageBoxes.h"
#include "admin/ServerOptions.h"

namespace tw::admin {

namespace {

constexpr const char* kExplanation =
    "你可以让TarnwickFTP服务器作为系统服务 (systemd) 运行，服务可以使FTP服务器在开机后不用登录而运行。"
    "安装和启动服务需要管理员权限。";
// tarnsvc waits up to two minutes for a pending unit; pkexec adds the time the password takes.
constexpr auto kSwitchLimit = std::chrono::minutes(5);

QCheckBox* MakeSwitchBox(const char* text, const std::string& programDir, const IntKey& key, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setChecked(ReadServerFlag(programDir, key));
    QObject::connect(box, &QCheckBox::toggled, parent, [programDir, &key](bool on) {
        WriteServerFlag(programDir, key, on);
    });
    return box;
}

}  // namespace

CServicePanel::CServicePanel(std::string programDir, std::string toolDir, std::function<void()> stopListeners,
                             bool root, QWidget* parent)
    : QDialog(parent),
      programDir_(std::move(programDir)),
      toolDir_(std::move(toolDir)),
      stopListeners_(std::move(stopListeners)),
      root_(root) {
    setWindowTitle("服务");
    auto* explanation = new QLabel(kExplanation, this);
    explanation->setWordWrap(true);

    auto* group = new QGroupBox("TarnwickFTP服务", this);
    auto* grid = new QGridLayout(group);
    const std::pair<ServiceSwitch, const char*> switches[] = {{ServiceSwitch::Install, "安装服务"},
                                                              {ServiceSwitch::Uninstall, "卸载服务"},
                                                              {ServiceSwitch::Start, "启动服务"},
                                                              {ServiceSwitch::Stop, "停止服务"}};
    int index = 0;
    for (const auto& [which, text] : switches) {
        auto* button = new QPushButton(text, group);
        connect(button, &QPushButton::clicked, this, [this, which = which] { RunSwitch(which); });
        grid->addWidget(button, index / 2, index % 2);
        buttons_[static_cast<size_t>(which)] = button;
        ++index;
    }
    state_ = new QLabel(group);
    grid->addWidget(state_, 2, 0, 1, 2);

    ftpBox_ = MakeSwitchBox("启动服务时启动FTP服务器", programDir_, keys::kFtpService, this);
    tlsBox_ = MakeSwitchBox("启动服务时启动SSL服务器", programDir_, keys::kFtpsService, this);
    close_ = new QPushButton("退出", this);
    close_->setDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    auto* closeRow = new QHBoxLayout;
    closeRow->addStretch();
    closeRow->addWidget(close_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(group);
    layout->addWidget(ftpBox_);
    layout->addWidget(tlsBox_);
    layout->addLayout(closeRow);
    setMinimumWidth(460);

    QWidget* order[] = {buttons_[0], buttons_[1], buttons_[2], buttons_[3], ftpBox_, tlsBox_, close_};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    Launch({});
}

void CServicePanel::RunSwitch(ServiceSwitch which) {
    if (busy_) return;
    const ServiceCommand command = BuildServiceCommand(which, toolDir_, root_, FindInPath("pkexec"));
    if (command.argv.empty()) {
        ShowError(this, QString::fromStdString(command.refusal));
        return;
    }
    if (which == ServiceSwitch::Start) {
        // The service takes the ports over, and from now on this program starts no listener of its own.
        stopListeners_();
        Launch(command.argv);
        WriteServerFlag(programDir_, keys::kAutoActive, false);
        WriteServerFlag(programDir_, keys::kAutoActiveTls, false);
        return;
    }
    Launch(command.argv);
}

void CServicePanel::Launch(std::vector<std::string> argv) {
    SetBusy(true);
    auto outcome = std::make_shared<ServiceOutcome>();
    // The thread object is not the panel's: a panel closed during a run leaves it to end and delete itself.
    QThread* worker = QThread::create([outcome, argv] { *outcome = RunServiceCommand(argv, kSwitchLimit); });
    connect(worker, &QThread::finished, this, [this, outcome, argv] { Finish(argv, *outcome); });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void CServicePanel::Finish(const std::vector<std::string>& argv, const ServiceOutcome& outcome) {
    SetBusy(false);
    state_->setText(QString::fromStdString(StateText(outcome.state)));
    if (outcome.ran && !SwitchSucceeded(outcome.result))
        ShowError(this, QString::fromStdString(FailureText(argv, outcome.result)));
    emit Refreshed();
}

void CServicePanel::SetBusy(bool busy) {
    busy_ = busy;
    for (QPushButton* b : buttons_) b->setEnabled(!busy);
    if (busy) state_->setText("服务状态: 正在查询...");
}

}  // namespace tw::admin
