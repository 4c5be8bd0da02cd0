#include "admin/IpFilterDialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "admin/AdminSettings.h"
#include "admin/IpAddressDialog.h"
#include "admin/MessageBoxes.h"

namespace tw::admin {

namespace {

constexpr const char* kChooseAddress = "请选择一个IP地址!";
constexpr const char* kModeTexts[] = {"不使用IP地址过滤", "拒绝所有来自IP地址列表中的IP的访问",
                                      "仅接受来自IP地址列表中的IP的访问"};

}  // namespace

CIpFilterDialog::CIpFilterDialog(CAdminHost& host, QWidget* parent)
    : QDialog(parent),
      host_(host),
      editor_(ReadAdminSettings(host.ProgramDir() + "option.ini").filterMode, host.AllowList(), host.DenyList()) {
    setWindowTitle("IP 过滤");

    auto* modeBox = new QGroupBox("过滤模式:", this);
    auto* modeLayout = new QVBoxLayout(modeBox);
    auto* group = new QButtonGroup(this);
    for (int mode = 0; mode < 3; ++mode) {
        auto* button = new QRadioButton(kModeTexts[mode], modeBox);
        group->addButton(button, mode);
        modeLayout->addWidget(button);
        modes_[static_cast<size_t>(mode)] = button;
    }
    if (editor_.Mode() >= 0 && editor_.Mode() < 3) modes_[static_cast<size_t>(editor_.Mode())]->setChecked(true);
    connect(group, &QButtonGroup::idClicked, this, [this](int mode) { ChooseMode(mode); });

    auto* listLabel = new QLabel("IP 过滤:", this);
    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    listLabel->setBuddy(list_);
    list_->setAccessibleName(listLabel->text());  // a list view does not take its name from the buddy label
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = list_->selectedItems();
        editor_.Select(selected.isEmpty() ? -1 : list_->row(selected.first()));
    });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] { edit_->click(); });

    add_ = new QPushButton("加入", this);
    edit_ = new QPushButton("编辑", this);
    delete_ = new QPushButton("删除", this);
    for (QPushButton* b : {add_, edit_, delete_}) b->setAutoDefault(false);
    connect(add_, &QPushButton::clicked, this, [this] { AskAddress({}, false); });
    connect(edit_, &QPushButton::clicked, this, [this] {
        if (editor_.Selected() < 0) return ShowError(this, kChooseAddress);
        AskAddress(editor_.Entries()[static_cast<size_t>(editor_.Selected())], true);
    });
    connect(delete_, &QPushButton::clicked, this, [this] {
        if (editor_.Selected() < 0) return ShowError(this, kChooseAddress);
        editor_.Remove();
        ShowList();
    });

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton("确定", QDialogButtonBox::AcceptRole);
    cancel_ = buttons->addButton("取消", QDialogButtonBox::RejectRole);
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* listRow = new QGridLayout;
    listRow->addWidget(listLabel, 0, 0);
    listRow->addWidget(list_, 1, 0, 4, 1);
    listRow->addWidget(add_, 1, 1);
    listRow->addWidget(edit_, 2, 1);
    listRow->addWidget(delete_, 3, 1);
    listRow->setRowStretch(4, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modeBox);
    layout->addLayout(listRow);
    layout->addWidget(buttons);

    setTabOrder(modes_[2], list_);
    setTabOrder(list_, add_);
    setTabOrder(add_, edit_);
    setTabOrder(edit_, delete_);
    setTabOrder(delete_, ok_);
    setTabOrder(ok_, cancel_);
    ShowList();
}

void CIpFilterDialog::ChooseMode(int mode) {
    editor_.SetMode(mode);
    ShowList();
}

void CIpFilterDialog::AskAddress(const std::string& initial, bool editing) {
    auto* dialog = new CIpAddressDialog(initial, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    addressDialog_ = dialog;
    connect(dialog, &QDialog::accepted, this, [this, dialog, editing] {
        const std::string address = dialog->Address();
        editing ? editor_.Edit(address) : editor_.Add(address);
        ShowList();
    });
    connect(dialog, &QDialog::finished, this, [this] { addressDialog_ = nullptr; });
    dialog->open();
}

void CIpFilterDialog::ShowList() {
    const QSignalBlocker quiet(list_);  // the rows below are the editor's; nothing to tell it back
    list_->clear();
    for (const std::string& entry : editor_.Entries()) list_->addItem(QString::fromStdString(entry));
    list_->setCurrentRow(editor_.Selected());
    if (editor_.Selected() < 0) list_->clearSelection();
    for (QPushButton* b : {add_, edit_, delete_}) b->setEnabled(editor_.HasList());
}

void CIpFilterDialog::accept() {
    const std::string unwritten = host_.ApplyFilter(editor_.Mode(), editor_.AllowText(), editor_.DenyText());
    if (!unwritten.empty()) ShowError(this, QString::fromStdString("无法写入 " + unwritten));
    QDialog::accept();
}

}  // namespace tw::admin
