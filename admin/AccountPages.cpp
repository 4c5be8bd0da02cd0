#include "admin/AccountPages.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QKeyEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "accounts/AccountTables.h"
#include "admin/GroupEditor.h"
#include "admin/MessageBoxes.h"
#include "admin/UserEditor.h"
#include "engine/ServerSettings.h"
#include "platform/IniFile.h"

namespace tw::admin {

namespace {

constexpr const char* kDeleteUserQuestion = "你真的要删除此用户吗?";
constexpr const char* kDeleteUserFailed = "无法删除用户";
constexpr const char* kDeleteGroupQuestion = "你真的要删除这个组吗?";
constexpr const char* kDeleteGroupFailed = "无法删除组";
constexpr const char* kUnreadable = "无法读取 %1";
// An item's place in the rows it was made from.
constexpr int kRowRole = Qt::UserRole + 1;

// Sorts the id column by number, the others by text.
class CRowItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
        bool leftNumber = false, rightNumber = false;
        const qlonglong left = text(column).toLongLong(&leftNumber), right = other.text(column).toLongLong(&rightNumber);
        if (leftNumber && rightNumber) return left < right;
        return text(column).localeAwareCompare(other.text(column)) < 0;
    }
};

// Opens an editor that deletes itself when closed; a saved change reloads the page.
void OpenEditor(QDialog* editor, CAccountListPage* page) {
    editor->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(editor, &QDialog::accepted, page, &CAccountListPage::Refresh);
    editor->open();
}

// The editor of an existing account; one that could not be read (deleted meanwhile, a damaged table) is
// named in a box instead, and the page shows the tables as they are now.
template <class Editor>
void OpenExisting(Editor* editor, CAccountListPage* page) {
    if (editor->Loaded()) return OpenEditor(editor, page);
    ShowError(page, editor->LoadError());
    delete editor;
    page->Refresh();
}

}  // namespace

CAccountListPage::CAccountListPage(std::string programDir, const QStringList& columns, const QString& listName,
                                   QWidget* parent)
    : QWidget(parent),
      store_(std::move(programDir)),
      filter_(new QLineEdit(this)),
      list_(new QTreeWidget(this)),
      status_(new QLabel(this)),
      buttons_(new QVBoxLayout) {
    auto* filterLabel = new QLabel("筛选:", this);
    filterLabel->setBuddy(filter_);
    filter_->setAccessibleName("筛选" + listName);
    filter_->setClearButtonEnabled(true);
    connect(filter_, &QLineEdit::textChanged, this, &CAccountListPage::ApplyFilter);
    connect(list_, &QTreeWidget::itemActivated, this, [this] { EditSelected(); });  // double click or Enter
    list_->installEventFilter(this);

    list_->setHeaderLabels(columns);
    list_->setAccessibleName(listName);
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    list_->header()->setStretchLastSection(true);
    list_->header()->setMinimumSectionSize(70);
    list_->setSortingEnabled(true);
    list_->sortByColumn(0, Qt::AscendingOrder);

    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(filterLabel);
    filterRow->addWidget(filter_, 1);
    auto* left = new QVBoxLayout;
    left->addLayout(filterRow);
    left->addWidget(list_, 1);
    left->addWidget(status_);
    buttons_->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addLayout(left, 1);
    layout->addLayout(buttons_);
}

void CAccountListPage::AddButton(const QString& text, std::function<void()> action) {
    auto* button = new QPushButton(text, this);
    connect(button, &QPushButton::clicked, this, action ? action : [this] { Refresh(); });
    buttons_->insertWidget(buttons_->count() - 1, button);
}

void CAccountListPage::Refresh() {
    const std::optional<int> selected = SelectedId();
    const std::string unreadable = Load(rows_);
    status_->setText(unreadable.empty() ? QString() : QString(kUnreadable).arg(QString::fromStdString(unreadable)));
    status_->setVisible(!unreadable.empty());
    list_->setSortingEnabled(false);  // rows go in unsorted, then sort once
    list_->clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        QStringList texts;
        for (const std::string& c : rows_[i].columns) texts << QString::fromStdString(c);
        auto* item = new CRowItem(list_, texts);
        item->setData(0, Qt::UserRole, rows_[i].id);
        item->setData(0, kRowRole, static_cast<int>(i));
        if (selected == rows_[i].id) list_->setCurrentItem(item);
    }
    ApplyFilter();
    list_->setSortingEnabled(true);
    // Every column as wide as its widest text, so nothing is elided (the list scrolls instead).
    for (int c = 0; c < list_->columnCount(); ++c) list_->resizeColumnToContents(c);
}

void CAccountListPage::ApplyFilter() {
    const std::string filter = filter_->text().toStdString();
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        item->setHidden(!RowMatches(rows_[static_cast<size_t>(item->data(0, kRowRole).toInt())], filter));
    }
}

std::optional<int> CAccountListPage::SelectedId() const {
    const QTreeWidgetItem* item = list_->currentItem();
    if (!item || item->isHidden()) return std::nullopt;
    return item->data(0, Qt::UserRole).toInt();
}

bool CAccountListPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        DeleteSelected();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CAccountListPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
}

CUsersPage::CUsersPage(std::string programDir, QWidget* parent)
    : CAccountListPage(std::move(programDir), {"用户", "密码", "电子邮件", "组", "状态", "主目录"}, "用户", parent) {
    AddButton("加入...", [this] { AddUser(); });
    AddButton("编辑...", [this] { EditSelected(); });
    AddButton("删除", [this] { DeleteSelected(); });
    AddButton("刷新", {});
    Filter()->setPlaceholderText("输入用户名、电子邮件、组或主目录的一部分");
    Refresh();
}

std::string CUsersPage::Load(std::vector<AccountRow>& rows) {
    std::vector<Account> users;
    std::vector<Group> groups;
    std::string unreadable;
    if (!store_.Users(users)) unreadable = UserTablePath(store_.Dir());
    // Without the groups the users still show, with their group ids.
    if (!store_.Groups(groups) && unreadable.empty()) unreadable = GroupTablePath(store_.Dir());
    rows = UserRows(users, groups);
    return unreadable;
}

void CUsersPage::AddUser() {
    const std::string home = ReadText(CIniFile(SettingsPath(store_.Dir())), keys::kDefaultDir);
    OpenEditor(new CUserEditor(store_, std::nullopt, QString::fromStdString(home), this), this);
}

void CUsersPage::EditSelected() {
    if (const std::optional<int> id = SelectedId()) OpenExisting(new CUserEditor(store_, *id, QString(), this), this);
}

void CUsersPage::DeleteSelected() {
    const std::optional<int> id = SelectedId();
    if (!id || !AskYesNo(this, kDeleteUserQuestion)) return;
    if (!store_.DeleteUser(*id)) ShowError(this, kDeleteUserFailed);
    Refresh();
}

CGroupsPage::CGroupsPage(std::string programDir, QWidget* parent)
    : CAccountListPage(std::move(programDir), {"组ID", "名称"}, "组", parent) {
    AddButton("加入...", [this] { AddGroup(); });
    AddButton("编辑...", [this] { EditSelected(); });
    AddButton("删除", [this] { DeleteSelected(); });
    Filter()->setPlaceholderText("输入组ID或名称的一部分");
    Refresh();
}

std::string CGroupsPage::Load(std::vector<AccountRow>& rows) {
    std::vector<Group> groups;
    const bool read = static_cast<bool>(store_.Groups(groups));
    rows = GroupRows(groups);
    return read ? std::string() : GroupTablePath(store_.Dir());
}

void CGroupsPage::AddGroup() { OpenEditor(new CGroupEditor(store_, std::nullopt, this), this); }

void CGroupsPage::EditSelected() {
    if (const std::optional<int> id = SelectedId()) OpenExisting(new CGroupEditor(store_, *id, this), this);
}

void CGroupsPage::DeleteSelected() {
    const std::optional<int> id = SelectedId();
    if (!id || !AskYesNo(this, kDeleteGroupQuestion)) return;
    if (!store_.DeleteGroup(*id)) ShowError(this, kDeleteGroupFailed);
    Refresh();
}

}  // namespace tw::admin
