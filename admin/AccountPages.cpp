#include "AccountPages.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>

#include "accounts/AccountStore.h"

namespace tw::admin {

namespace {

QTreeWidget* MakeList(QWidget* parent, const QStringList& columns) {
    auto* list = new QTreeWidget(parent);
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->header()->setSectionResizeMode(QHeaderView::Interactive);
    list->header()->setStretchLastSection(true);
    list->header()->setMinimumSectionSize(70);
    return list;
}

// The list beside a column of buttons; only those given an action are enabled (the editors come later).
void LayOut(QWidget* page, QTreeWidget* list, const std::vector<std::pair<const char*, std::function<void()>>>& buttons) {
    auto* column = new QVBoxLayout;
    for (const auto& [text, action] : buttons) {
        auto* button = new QPushButton(text, page);
        button->setEnabled(static_cast<bool>(action));
        if (action) QObject::connect(button, &QPushButton::clicked, page, action);
        column->addWidget(button);
    }
    column->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 6, 0);
    layout->addWidget(list, 1);
    layout->addLayout(column);
}

// Every column as wide as its widest text, so nothing is elided (the list scrolls instead).
void FitColumns(QTreeWidget* list) {
    for (int c = 0; c < list->columnCount(); ++c) list->resizeColumnToContents(c);
}

// The names of a user's groups ("3,5" -> "staff,guests"); an unknown id is shown as it is stored.
QString GroupNames(const Account& account, const std::map<int, std::string>& names) {
    QStringList shown;
    for (int id : account.groups) {
        auto it = names.find(id);
        shown << QString::fromStdString(it != names.end() ? it->second : std::to_string(id));
    }
    return shown.join(',');
}

}  // namespace

CUsersPage::CUsersPage(std::string programDir, QWidget* parent)
    : QWidget(parent),
      programDir_(std::move(programDir)),
      list_(MakeList(this, {"用户", "密码", "电子邮件", "组", "状态", "主目录"})) {
    LayOut(this, list_, {{"加入...", {}}, {"编辑...", {}}, {"删除", {}}, {"刷新", [this] { Refresh(); }}});
    Refresh();
}

void CUsersPage::Refresh() {
    list_->clear();
    std::map<int, std::string> names;
    std::vector<Group> groups;
    std::vector<Account> users;
    CAccountStore store(programDir_);
    store.Groups(groups);
    store.Users(users);
    for (const Group& g : groups) names[g.id] = g.name;
    for (const Account& a : users) {
        // A password never appears on screen, whether stored as text, scrambled or hashed.
        const QString password = a.password.empty() ? QString() : QStringLiteral("******");
        new QTreeWidgetItem(list_, {QString::fromStdString(a.userid), password,
                                    QString::fromStdString(a.email), GroupNames(a, names),
                                    a.enabled ? "Enable" : "Disable", QString::fromStdString(a.homedir)});
    }
    FitColumns(list_);
}

CGroupsPage::CGroupsPage(std::string programDir, QWidget* parent)
    : QWidget(parent), programDir_(std::move(programDir)), list_(MakeList(this, {"组ID", "名称"})) {
    LayOut(this, list_, {{"加入...", {}}, {"编辑...", {}}, {"删除", {}}});
    Refresh();
}

void CGroupsPage::Refresh() {
    list_->clear();
    std::vector<Group> groups;
    CAccountStore(programDir_).Groups(groups);
    for (const Group& g : groups)
        new QTreeWidgetItem(list_, {QString::number(g.id), QString::fromStdString(g.name)});
    FitColumns(list_);
}

}  // namespace tw::admin
