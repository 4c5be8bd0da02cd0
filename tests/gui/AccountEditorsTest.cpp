// The account editors driven through their real widgets, offscreen: what they write to the tables of a
// program directory made by sdbtool, the texts of their boxes, the keyboard, and a login over real FTP
// that sees what the editors made.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QHeaderView>
#include <QStackedWidget>
#include <QTabBar>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <memory>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "admin/AccountTexts.h"
#include "admin/DirectoryBrowser.h"
#include "admin/EditorWidgets.h"
#include "admin/EngineLoop.h"
#include "admin/FolderDialog.h"
#include "admin/FolderPage.h"
#include "admin/GroupEditor.h"
#include "admin/GroupSelectDialog.h"
#include "admin/MainDlg.h"
#include "admin/MessageBoxes.h"
#include "admin/UserEditor.h"
#include "engine/FtpServer.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "tests/gui/GuiTestSupport.h"

using namespace tw;
using namespace tw::admin;

namespace {

using test::Boxes;
using test::Client;
using test::kDeadlineMs;

// The child of `root` of type W whose accessible name is `name`.
template <class W>
W* Named(const QObject* root, const QString& name) {
    for (W* w : root->findChildren<W*>())
        if (w->accessibleName() == name) return w;
    return nullptr;
}

// A "..." button, told apart by what it opens.
QPushButton* Browse(const QObject* root, const char* opens) {
    for (QPushButton* b : root->findChildren<QPushButton*>())
        if (b->text() == kBrowse && b->accessibleDescription() == opens) return b;
    return nullptr;
}

// A piece Qt builds inside one of its controls (a list's header, a date edit's line edit, the tab bar's
// scroll buttons): the control carries the name.
bool PartOfAQtControl(const QWidget* w) {
    if (qobject_cast<const QHeaderView*>(w)) return true;
    for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (qobject_cast<const QAbstractItemView*>(p) || qobject_cast<const QAbstractSpinBox*>(p) ||
            qobject_cast<const QTabBar*>(p))
            return true;
    return false;
}

// Clicks as the administrator would: the button's window shown, its tab the current one.
void Click(QAbstractButton* button) {
    QVERIFY(button);
    for (QWidget* w = button; w->parentWidget(); w = w->parentWidget())
        if (auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget())) stack->setCurrentWidget(w);
    button->window()->show();
    QVERIFY(button->isVisible() && button->isEnabled());
    // A check box reacts on its indicator and text only, and a laid-out one may be far wider.
    const QPoint at = qobject_cast<QCheckBox*>(button) ? QPoint(8, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

}  // namespace

class AccountEditorsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::string dir_;
    std::unique_ptr<CAccountStore> store_;

    QString Path(const std::string& name) const { return QString::fromStdString(dir_ + name); }
    void Sdbtool(const QStringList& args) { QCOMPARE(test::Sdbtool(dir_, args), 0); }
    Account User(const std::string& name) const {
        Account a;
        if (!store_->FindUser(name, a)) a.id = -1;
        return a;
    }
    int GroupId(const std::string& name) const {
        Group g;
        return store_->FindGroup(name, g) ? g.id : -1;
    }
    std::vector<VirtualFolder> Folders(FolderOwner owner, int id) const {
        std::vector<VirtualFolder> folders;
        store_->Folders(owner, id, folders);
        return folders;
    }
    static std::vector<std::string> Names(const std::vector<VirtualFolder>& folders) {
        std::vector<std::string> names;
        for (const VirtualFolder& f : folders) names.push_back(f.name);
        return names;
    }
    // A user made through the store, with own folders.
    int MakeUser(const std::string& name, const std::vector<VirtualFolder>& folders, const std::string& groups = "",
                 double quotaMax = 0) {
        UserChange c;
        c.userid = name;
        c.homedir = dir_ + "home";
        c.password = PasswordText{"secret", false};
        c.quotaMax = quotaMax;
        std::vector<int> ids;
        std::vector<std::string> unknown;
        store_->ResolveGroups(groups, ids, unknown);
        c.groups = ids;
        int id = 0;
        AccountStatus s = store_->AddUser(c, &folders, id);
        if (!s) qWarning("%s", s.text.c_str());
        return id;
    }
    // Opens "加入..." or "编辑..." of a folder page, fills the dialog and presses "确定".
    static void FillFolderDialog(CFolderPage* page, const char* button, const QString& name, const QString& path) {
        Click(Named<QPushButton>(page, button));
        CFolderDialog* dialog = page->Dialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->windowTitle(), QString(kFolderDialogCaption));
        dialog->NameEdit()->setText(name);
        dialog->PathEdit()->setText(path);
        Click(Named<QPushButton>(dialog, kOk));
    }
    static QStringList Rows(const CFolderPage* page, int column) {
        QStringList rows;
        for (int i = 0; i < page->List()->topLevelItemCount(); ++i) rows << page->List()->topLevelItem(i)->text(column);
        return rows;
    }
    static void SelectRow(CFolderPage* page, int row) {
        page->List()->setCurrentItem(page->List()->topLevelItem(row));
    }

private slots:
    void init() {
        QVERIFY(temp_.isValid());
        dir_ = test::NewProgramDirectory(temp_);
        QVERIFY(EnsureDirectory(dir_) && EnsureDirectory(dir_ + "home") && EnsureDirectory(dir_ + "docs"));
        Sdbtool({"init"});
        Sdbtool({"group", "add", "staff"});
        store_ = std::make_unique<CAccountStore>(dir_);
    }

    void aNewUserStartsWithTheDefaultsAndIsStoredAsEntered() {
        Boxes boxes;
        CUserEditor editor(*store_, std::nullopt, Path("home"), nullptr);
        QVERIFY(editor.Loaded());
        QCOMPARE(editor.windowTitle(), QString(kUserEditorCaption));
        QCOMPARE(editor.Tabs()->count(), 3);
        QCOMPARE(editor.Tabs()->tabText(0), QString(kAccountTab));
        QCOMPARE(editor.Tabs()->tabText(1), QString(kFoldersTab));
        QCOMPARE(editor.Tabs()->tabText(2), QString(kLimitsTab));
        QWidget* account = editor.Tabs()->widget(0);
        QWidget* limits = editor.Tabs()->widget(2);
        auto* enabled = Named<QCheckBox>(account, kEnableAccount);
        auto* userid = Named<QLineEdit>(account, kUserNameLabel);
        auto* password = Named<QLineEdit>(account, kPasswordLabel);
        auto* hash = Named<QCheckBox>(account, kHashPassword);
        auto* expiry = Named<QCheckBox>(account, kExpiryLabel);
        auto* date = Named<QDateEdit>(account, kExpiryLabel);
        QVERIFY(enabled && userid && password && hash && expiry && date);

        // The start state.
        QVERIFY(enabled->isChecked());
        QCOMPARE(Named<QLineEdit>(account, kHomeLabel)->text(), Path("home"));
        QCOMPARE(editor.AccountRights()->Rights().ToString(), std::string("R----L---"));
        QVERIFY(!expiry->isChecked());
        QVERIFY(!date->isEnabled());
        QVERIFY(hash->isChecked());
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        QVERIFY(password->placeholderText().isEmpty());
        Click(Named<QCheckBox>(account, kShowPassword));
        QCOMPARE(password->echoMode(), QLineEdit::Normal);
        Click(expiry);
        QVERIFY(date->isEnabled());
        Click(expiry);
        QVERIFY(!date->isEnabled());

        // A disabled account greys every other control of the page.
        Click(enabled);
        for (QWidget* w : account->findChildren<QWidget*>())
            if (w != enabled && (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w)))
                QVERIFY2(!w->isEnabled(), qPrintable(w->accessibleName()));
        QVERIFY(!date->isEnabled());
        Click(enabled);
        QVERIFY(userid->isEnabled() && editor.AccountRights()->isEnabled() && expiry->isEnabled());
        QVERIFY(!date->isEnabled());

        // The home's "..." opens the folder browser; a cancelled one leaves the field.
        {
            QStringList asked;
            QString answer;
            CDirectoryChooserScope chooser([&](const QString& title, const QString& start) {
                asked << title << start;
                return answer;
            });
            auto* home = Named<QLineEdit>(account, kHomeLabel);
            Click(Browse(account, kBrowseTitle));
            QCOMPARE(asked, (QStringList{kBrowseTitle, Path("home")}));
            QCOMPARE(home->text(), Path("home"));
            answer = Path("docs");
            Click(Browse(account, kBrowseTitle));
            QCOMPARE(home->text(), Path("docs"));
            home->setText(Path("home"));
        }

        QTest::keyClicks(userid, " alice ");
        QTest::keyClicks(password, "pw1");
        Named<QLineEdit>(account, kGroupsLabel)->setText("staff, ,nosuch");
        Click(editor.AccountRights()->Box(1));  // 写入
        Click(editor.AccountRights()->Box(6));  // 创建
        date->setDate(QDate(2031, 5, 6));
        Click(Named<QCheckBox>(limits, kDownloadLimit));
        Named<QLineEdit>(limits, kDownloadSpeed)->setText("20");
        Named<QLineEdit>(limits, kUploadSpeed)->setText("30");
        Named<QLineEdit>(limits, kQuotaMax)->setText("1000");
        FillFolderDialog(editor.FolderPage(), kAdd, "docs", Path("docs/"));
        QCOMPARE(Rows(editor.FolderPage(), 2), QStringList{"R----L---"});
        Click(Named<QPushButton>(&editor, kSave));
        QCOMPARE(boxes.texts, QStringList());
        QCOMPARE(editor.result(), int(QDialog::Accepted));

        const Account a = User("alice");
        QCOMPARE(a.id, *editor.UserId());
        QVERIFY(a.enabled);
        QCOMPARE(a.groups, std::vector<int>{GroupId("staff")});
        QVERIFY(a.password.starts_with("$y$"));
        QVERIFY(PasswordMatches("pw1", a.password));
        QCOMPARE(QString::fromStdString(a.rights.ToString()), QString("RW---LC--"));
        QCOMPARE(EncodeExpiry(a.expiry), std::string("0,2031-05-06"));
        QCOMPARE(a.homedir, dir_ + "home");
        QVERIFY(a.downloadLimit && !a.uploadLimit);
        QCOMPARE(a.downloadSpeed, 20);
        QCOMPARE(a.uploadSpeed, 30);
        QCOMPARE(a.quotaMax, 1000.0);
        QCOMPARE(a.quotaCurrent, 0.0);
        QCOMPARE(Folders(FolderOwner::User, a.id),
                 (std::vector<VirtualFolder>{{"docs", dir_ + "docs", *RightsSet::FromString("R----L---")}}));

        // With the hash box cleared the password is stored as typed; the expiry box stores "1,".
        CUserEditor plain(*store_, std::nullopt, Path("home"), nullptr);
        QWidget* page = plain.Tabs()->widget(0);
        Named<QLineEdit>(page, kUserNameLabel)->setText("bob");
        Named<QLineEdit>(page, kPasswordLabel)->setText("plain pw");
        Click(Named<QCheckBox>(page, kHashPassword));
        Click(Named<QCheckBox>(page, kExpiryLabel));
        Named<QDateEdit>(page, kExpiryLabel)->setDate(QDate(2032, 1, 31));
        Click(Named<QPushButton>(&plain, kSave));
        QCOMPARE(plain.result(), int(QDialog::Accepted));
        QCOMPARE(User("bob").password, std::string("plain pw"));
        QCOMPARE(EncodeExpiry(User("bob").expiry), std::string("1,2032-01-31"));
    }

    void anEditReplacesTheFolderListAndKeepsTheUntypedPassword() {
        const int id = MakeUser("carol", {{"a", dir_ + "docs", *RightsSet::FromString("R----L---")},
                                          {"b", dir_ + "home", *RightsSet::FromString("RW---L---")}});
        const std::string storedPassword = User("carol").password;
        Boxes boxes;
        CUserEditor editor(*store_, id, Path("unused"), nullptr);
        QVERIFY(editor.Loaded());
        QWidget* account = editor.Tabs()->widget(0);
        auto* password = Named<QLineEdit>(account, kPasswordLabel);
        QCOMPARE(password->text(), QString());
        QCOMPARE(password->placeholderText(), QString(kPasswordUnchanged));
        QCOMPARE(Named<QLineEdit>(account, kUserNameLabel)->text(), QString("carol"));

        CFolderPage* page = editor.FolderPage();
        QCOMPARE(Rows(page, 0), (QStringList{"a", "b"}));
        QCOMPARE(page->List()->currentItem(), page->List()->topLevelItem(0));
        // "No" keeps the row; "Yes" removes it from the list only.
        boxes.yes = false;
        Click(Named<QPushButton>(page, kDelete));
        QCOMPARE(Rows(page, 0), (QStringList{"a", "b"}));
        boxes.yes = true;
        Click(Named<QPushButton>(page, kDelete));
        QCOMPARE(boxes.texts, (QStringList{kDeleteFolderQuestion, kDeleteFolderQuestion}));
        QCOMPARE(Rows(page, 0), QStringList{"b"});
        QCOMPARE(Names(Folders(FolderOwner::User, id)), (std::vector<std::string>{"a", "b"}));
        FillFolderDialog(page, kAdd, "c", "/");
        // Editing starts from the row's values and replaces its name and path.
        SelectRow(page, 0);
        Click(Named<QPushButton>(page, kEdit));
        QCOMPARE(page->Dialog()->NameEdit()->text(), QString("b"));
        page->Dialog()->NameEdit()->setText("b2");
        Click(Named<QPushButton>(page->Dialog(), kOk));
        QCOMPARE(Rows(page, 0), (QStringList{"b2", "c"}));
        Click(Named<QPushButton>(&editor, kSave));
        QCOMPARE(editor.result(), int(QDialog::Accepted));

        const std::vector<VirtualFolder> saved = Folders(FolderOwner::User, id);
        QCOMPARE(Names(saved), (std::vector<std::string>{"b2", "c"}));
        QCOMPARE(saved[0].rights.ToString(), std::string("RW---L---"));
        QCOMPARE(saved[1].dir, std::string("/"));
        QCOMPARE(User("carol").password, storedPassword);
    }

    void aQuotaTheServerRaisesWhileTheEditorIsOpenIsKept() {
        MakeUser("dave", {}, "", 1000);
        QVERIFY(CSdbAccounts(dir_).AddUsedQuota("dave", 5));
        CUserEditor editor(*store_, User("dave").id, Path("home"), nullptr);
        QWidget* limits = editor.Tabs()->widget(2);
        QCOMPARE(Named<QLineEdit>(limits, kQuotaCurrent)->text(), QString("5"));
        QCOMPARE(Named<QLineEdit>(limits, kQuotaMax)->text(), QString("1000"));
        Named<QLineEdit>(limits, kQuotaMax)->setText("2000");
        Named<QLineEdit>(editor.Tabs()->widget(0), kEmailLabel)->setText("dave@example.com");
        QVERIFY(CSdbAccounts(dir_).AddUsedQuota("dave", 40));
        Click(Named<QPushButton>(&editor, kSave));
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        const Account a = User("dave");
        QCOMPARE(a.quotaCurrent, 45.0);
        QCOMPARE(a.quotaMax, 2000.0);
        QCOMPARE(a.email, std::string("dave@example.com"));
    }

    void inheritedRowsAreShownWithTheirGroupAndNeitherMovedNorSaved() {
        const std::vector<VirtualFolder> shared{{"shared", dir_ + "docs", *RightsSet::FromString("RWDRALCRR")}};
        QVERIFY(store_->ChangeGroup(GroupId("staff"), {}, &shared));
        const int id = MakeUser("erin", {{"x", dir_ + "home", *RightsSet::FromString("R----L---")},
                                         {"y", dir_ + "docs", *RightsSet::FromString("R----L---")}}, "staff");
        CUserEditor editor(*store_, id, Path("home"), nullptr);
        CFolderPage* page = editor.FolderPage();
        // The move keys are shortcuts of the list: it has the focus in an active window.
        editor.Tabs()->setCurrentIndex(1);
        editor.show();
        QVERIFY(QTest::qWaitForWindowActive(&editor));
        page->List()->setFocus();
        QCOMPARE(page->List()->headerItem()->text(3), QString(kFolderGroupColumn));
        QCOMPARE(Rows(page, 0), (QStringList{"x", "y", "shared"}));
        QCOMPARE(Rows(page, 3), (QStringList{"", "", "staff"}));
        QCOMPARE(Rows(page, 2)[2], QString("RWDRALCRR"));

        // An inherited row shows its rights but nothing of it can be changed.
        SelectRow(page, 2);
        QVERIFY(!page->Rights()->isEnabled());
        QVERIFY(page->Rights()->Box(2)->isChecked());
        QVERIFY(!Named<QPushButton>(page, kEdit)->isEnabled() && !Named<QPushButton>(page, kDelete)->isEnabled());
        page->MoveUpAction()->trigger();
        QCOMPARE(Rows(page, 0), (QStringList{"x", "y", "shared"}));

        // The context menu's moves, by their keys: the last own row never passes the inherited one.
        QCOMPARE(page->List()->actions().size(), 2);
        QCOMPARE(page->MoveUpAction()->text(), QString(kMoveUp));
        QCOMPARE(page->MoveDownAction()->text(), QString(kMoveDown));
        SelectRow(page, 1);
        QTest::keyClick(page->List(), Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(Rows(page, 0), (QStringList{"x", "y", "shared"}));
        QCOMPARE(page->List()->currentItem()->text(0), QString("y"));
        QTest::keyClick(page->List(), Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(Rows(page, 0), (QStringList{"y", "x", "shared"}));
        QCOMPARE(page->List()->currentItem()->text(0), QString("y"));
        QTest::keyClick(page->List(), Qt::Key_Up, Qt::AltModifier);
        QCOMPARE(Rows(page, 0), (QStringList{"y", "x", "shared"}));
        // The boxes edit the selected own row.
        Click(page->Rights()->Box(1));
        QCOMPARE(Rows(page, 2), (QStringList{"RW---L---", "R----L---", "RWDRALCRR"}));
        // A new folder goes above the inherited one.
        FillFolderDialog(page, kAdd, "z", Path("docs"));
        QCOMPARE(Rows(page, 0), (QStringList{"y", "x", "z", "shared"}));

        Click(Named<QPushButton>(&editor, kSave));
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        const std::vector<VirtualFolder> saved = Folders(FolderOwner::User, id);
        QCOMPARE(Names(saved), (std::vector<std::string>{"y", "x", "z"}));
        QCOMPARE(saved[0].rights.ToString(), std::string("RW---L---"));
        QCOMPARE(Folders(FolderOwner::Group, GroupId("staff")), shared);
    }

    void theUserEditorRefusesWithItsBoxesAndKeepsWhatWasTyped() {
        Boxes boxes;
        CUserEditor editor(*store_, std::nullopt, Path("home"), nullptr);
        QWidget* account = editor.Tabs()->widget(0);
        QWidget* limits = editor.Tabs()->widget(2);
        auto* userid = Named<QLineEdit>(account, kUserNameLabel);
        auto* home = Named<QLineEdit>(account, kHomeLabel);
        auto* save = Named<QPushButton>(&editor, kSave);
        auto refused = [&](const QString& text, QWidget* focused) {
            boxes.texts.clear();
            Click(save);
            QCOMPARE(boxes.texts, QStringList{text});
            QCOMPARE(editor.result(), int(QDialog::Rejected));
            QCOMPARE(editor.focusWidget(), focused);
            QCOMPARE(editor.Tabs()->currentWidget()->isAncestorOf(focused), true);
        };
        userid->setText("   ");
        refused(kUserNameEmpty, userid);
        userid->setText("frank");
        home->setText(" ");
        refused(kHomeEmpty, home);
        home->setText(Path("home"));
        Named<QLineEdit>(limits, kDownloadSpeed)->setText("fast");
        refused(kDownloadSpeedInvalid, Named<QLineEdit>(limits, kDownloadSpeed));
        Named<QLineEdit>(limits, kDownloadSpeed)->setText("0");
        Named<QLineEdit>(limits, kQuotaCurrent)->setText("-1");
        editor.Tabs()->setCurrentIndex(0);
        refused(kQuotaCurrentInvalid, Named<QLineEdit>(limits, kQuotaCurrent));
        Named<QLineEdit>(limits, kQuotaCurrent)->setText("0");
        userid->setText(QString(65, 'f'));
        refused("用户名不能超过 64 个字节!", userid);
        std::vector<Account> users;
        QVERIFY(store_->Users(users));
        QVERIFY(users.empty());
        MakeUser("taken", {});
        userid->setText("Taken");
        refused(kUserExists, userid);

        // A home that does not exist: "No" keeps the editor open, "Yes" saves.
        userid->setText("frank");
        home->setText(Path("nohome"));
        boxes.yes = false;
        refused(kDirectoryMissing, home);
        QCOMPARE(User("frank").id, -1);
        boxes.yes = true;
        boxes.texts.clear();
        Click(save);
        QCOMPARE(boxes.texts, QStringList{kDirectoryMissing});
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        QCOMPARE(User("frank").homedir, dir_ + "nohome");

        // Faults of the tables: the editor stays open with what was typed.
        CUserEditor edit(*store_, User("frank").id, Path("home"), nullptr);
        Named<QLineEdit>(edit.Tabs()->widget(0), kEmailLabel)->setText("f@example.com");
        const std::string beside = dir_ + "vfolder_user" + std::to_string(User("frank").id) + ".sdb.new";
        QVERIFY(EnsureDirectory(beside));
        boxes.texts.clear();
        Click(Named<QPushButton>(&edit, kSave));
        QCOMPARE(boxes.texts, (QStringList{kDirectoryMissing, kCannotCreateDataFile}));
        QCOMPARE(edit.result(), int(QDialog::Rejected));
        QVERIFY(QDir(QString::fromStdString(beside)).removeRecursively());
        QVERIFY(QFile::remove(Path("user.sdb")));
        boxes.texts.clear();
        Click(Named<QPushButton>(&edit, kSave));
        QCOMPARE(boxes.texts, (QStringList{kDirectoryMissing, kCannotSaveUser}));
        QCOMPARE(Named<QLineEdit>(edit.Tabs()->widget(0), kEmailLabel)->text(), QString("f@example.com"));

        CUserEditor gone(*store_, 999, Path("home"), nullptr);
        QVERIFY(!gone.Loaded());
        QCOMPARE(gone.LoadError(), QString(kCannotLoadUser));
    }

    void theFolderDialogChecksNameAndPath() {
        Boxes boxes;
        CFolderList list;
        list.Load({{"docs", dir_ + "docs", {}}});
        CFolderDialog dialog(list, std::nullopt, nullptr);
        QCOMPARE(dialog.windowTitle(), QString(kFolderDialogCaption));
        auto* ok = Named<QPushButton>(&dialog, kOk);
        auto attempt = [&](const QString& name, const QString& path, const QStringList& texts) {
            boxes.texts.clear();
            dialog.NameEdit()->setText(name);
            dialog.PathEdit()->setText(path);
            Click(ok);
            QCOMPARE(boxes.texts, texts);
        };
        attempt("", Path("docs"), {kEnterName});
        QCOMPARE(dialog.focusWidget(), dialog.NameEdit());
        attempt("pub", "  ", {kChoosePath});
        QCOMPARE(dialog.focusWidget(), dialog.PathEdit());
        attempt("DOCS", Path("home"), {kFolderExists});
        boxes.yes = false;
        attempt("pub", Path("missing"), {kDirectoryMissing});
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        boxes.yes = true;
        attempt("pub", Path("missing/"), {kDirectoryMissing});
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Dir(), dir_ + "missing");

        // The browser's choice replaces the path.
        CDirectoryChooserScope chooser([&](const QString& title, const QString& start) {
            boxes.texts << title << start;
            return Path("home");
        });
        CFolderDialog second(list, 0, nullptr);
        QCOMPARE(second.PathEdit()->text(), Path("docs"));
        boxes.texts.clear();
        Click(Browse(&second, kBrowseTitle));
        QCOMPARE(boxes.texts, (QStringList{kBrowseTitle, Path("docs")}));
        QCOMPARE(second.PathEdit()->text(), Path("home"));
        // The row being edited keeps its own name.
        Click(Named<QPushButton>(&second, kOk));
        QCOMPARE(second.result(), int(QDialog::Accepted));
        QCOMPARE(second.Name(), std::string("docs"));
    }

    void theGroupEditorSavesAndRefuses() {
        Boxes boxes;
        CGroupEditor editor(*store_, std::nullopt, nullptr);
        QCOMPARE(editor.windowTitle(), QString(kGroupEditorCaption));
        QCOMPARE(editor.Tabs()->tabText(0), QString(kGroupTab));
        QCOMPARE(editor.Tabs()->tabText(1), QString(kFoldersTab));
        QCOMPARE(editor.FolderPage()->List()->columnCount(), 3);
        auto* name = Named<QLineEdit>(&editor, kNameLabel);
        auto* save = Named<QPushButton>(&editor, kSave);
        name->setText("  ");
        Click(save);
        QCOMPARE(boxes.texts, QStringList{kNameEmpty});
        QCOMPARE(editor.focusWidget(), name);
        name->setText("STAFF");
        Click(save);
        QCOMPARE(boxes.texts.last(), QString(kGroupExists));
        name->setText("dev");
        Named<QLineEdit>(&editor, kNotesLabel)->setText("developers");
        FillFolderDialog(editor.FolderPage(), kAdd, "src", Path("docs"));
        Click(save);
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        const int id = GroupId("dev");
        QCOMPARE(*editor.GroupId(), id);
        QCOMPARE(Names(Folders(FolderOwner::Group, id)), std::vector<std::string>{"src"});

        CGroupEditor edit(*store_, id, nullptr);
        QVERIFY(edit.Loaded());
        QCOMPARE(Named<QLineEdit>(&edit, kNotesLabel)->text(), QString("developers"));
        QVERIFY(QFile::remove(Path("group.sdb")));
        boxes.texts.clear();
        Click(Named<QPushButton>(&edit, kSave));
        QCOMPARE(boxes.texts, QStringList{kCannotSaveGroup});
        QCOMPARE(edit.result(), int(QDialog::Rejected));
        QVERIFY(!CGroupEditor(*store_, id, nullptr).Loaded());
    }

    void theGroupSelectionAppendsTheChosenNames() {
        Sdbtool({"group", "add", "dev"});
        Sdbtool({"group", "add", "ops"});
        CUserEditor editor(*store_, std::nullopt, Path("home"), nullptr);
        editor.show();
        auto* groups = Named<QLineEdit>(editor.Tabs()->widget(0), kGroupsLabel);
        groups->setText("staff,");
        Click(Browse(&editor, kGroupSelectCaption));
        CGroupSelectDialog* select = editor.GroupSelection();
        QVERIFY(select && select->isVisible());
        QCOMPARE(select->windowTitle(), QString(kGroupSelectCaption));
        QCOMPARE(select->List()->count(), 3);
        select->List()->item(1)->setSelected(true);  // dev
        select->List()->item(2)->setSelected(true);  // ops
        Click(Named<QPushButton>(select, kOk));
        QCOMPARE(groups->text(), QString("staff,,dev,ops"));
        Named<QLineEdit>(editor.Tabs()->widget(0), kUserNameLabel)->setText("gina");
        Click(Named<QPushButton>(&editor, kSave));
        QCOMPARE(User("gina").groups, (std::vector<int>{GroupId("staff"), GroupId("dev"), GroupId("ops")}));
    }

    void enterSavesEscapeCancelsAndEveryControlIsNamedInReadingOrder() {
        {
            CUserEditor editor(*store_, std::nullopt, Path("home"), nullptr);
            editor.show();
            auto* userid = Named<QLineEdit>(editor.Tabs()->widget(0), kUserNameLabel);
            QTest::keyClicks(userid, "hank");
            QTest::keyClick(userid, Qt::Key_Escape);
            QCOMPARE(editor.result(), int(QDialog::Rejected));
            QVERIFY(!editor.isVisible());
            QCOMPARE(User("hank").id, -1);
        }
        CUserEditor editor(*store_, std::nullopt, Path("home"), nullptr);
        editor.show();
        auto* userid = Named<QLineEdit>(editor.Tabs()->widget(0), kUserNameLabel);
        QTest::keyClicks(userid, "hank");
        QTest::keyClick(userid, Qt::Key_Return);
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        QVERIFY(User("hank").id > 0);

        {
            CGroupEditor group(*store_, std::nullopt, nullptr);
            group.show();
            auto* name = Named<QLineEdit>(&group, kNameLabel);
            QTest::keyClicks(name, "night");
            QTest::keyClick(name, Qt::Key_Escape);
            QCOMPARE(group.result(), int(QDialog::Rejected));
            QCOMPARE(GroupId("night"), -1);
        }
        CGroupEditor group(*store_, std::nullopt, nullptr);
        group.show();
        QTest::keyClicks(Named<QLineEdit>(&group, kNameLabel), "night");
        QTest::keyClick(Named<QLineEdit>(&group, kNotesLabel), Qt::Key_Return);
        QCOMPARE(group.result(), int(QDialog::Accepted));
        QVERIFY(GroupId("night") > 0);

        CFolderList list;
        CFolderDialog folder(list, std::nullopt, nullptr);
        folder.show();
        folder.NameEdit()->setText("n");
        folder.PathEdit()->setText("/");
        QTest::keyClick(folder.PathEdit(), Qt::Key_Enter);
        QCOMPARE(folder.result(), int(QDialog::Accepted));

        // Every input control and button carries a name.
        CUserEditor user(*store_, User("hank").id, Path("home"), nullptr);
        CGroupEditor groupEditor(*store_, GroupId("staff"), nullptr);
        CGroupSelectDialog select(*store_, nullptr);
        CFolderDialog folderDialog(list, std::nullopt, nullptr);
        int checked = 0;
        for (QWidget* dialog : std::initializer_list<QWidget*>{&user, &groupEditor, &select, &folderDialog})
            for (QWidget* w : dialog->findChildren<QWidget*>()) {
                const bool input = qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) ||
                                   qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QAbstractItemView*>(w);
                if (!input || PartOfAQtControl(w)) continue;
                QVERIFY2(!w->accessibleName().isEmpty(),
                         qPrintable(dialog->windowTitle() + ": " + w->metaObject()->className()));
                if (auto* b = qobject_cast<QAbstractButton*>(w)) QCOMPARE(b->accessibleName(), b->text());
                ++checked;
            }
        QVERIFY(checked > 40);

        // Tab goes through the account page in reading order.
        QWidget* account = user.Tabs()->widget(0);
        const QList<QWidget*> reading{
            Named<QCheckBox>(account, kEnableAccount),  Named<QLineEdit>(account, kUserNameLabel),
            Named<QLineEdit>(account, kPasswordLabel),  Named<QCheckBox>(account, kShowPassword),
            Named<QCheckBox>(account, kHashPassword),   Named<QLineEdit>(account, kGroupsLabel),
            Browse(account, kGroupSelectCaption),       Named<QLineEdit>(account, kHomeLabel),
            Browse(account, kBrowseTitle),              Named<QLineEdit>(account, kEmailLabel),
            user.AccountRights()->Box(0),               user.AccountRights()->Box(4),
            user.AccountRights()->Box(5),               user.AccountRights()->Box(8),
            Named<QCheckBox>(account, kExpiryLabel),    Named<QDateEdit>(account, kExpiryLabel),
            Named<QPushButton>(&user, kSave),           Named<QPushButton>(&user, kCancel)};
        QList<QWidget*> chain;
        QWidget* w = &user;
        for (int i = 0; i < 1000 && (w = w->nextInFocusChain()) != &user; ++i)
            if (w->focusPolicy() & Qt::TabFocus) chain << w;
        int last = -1;
        for (QWidget* control : reading) {
            QVERIFY(control);
            const int at = chain.indexOf(control);
            QVERIFY2(at > last, qPrintable(control->accessibleName()));
            last = at;
        }
    }

    void aUserMadeInTheEditorsSeesItsGroupsFolderOverFtp() {
        CEngineLoop loop;
        const int port = test::FreePort();
        QCOMPARE(WriteFileReplacing(dir_ + "option.ini", "[Server]\nport=" + std::to_string(port) +
                                                          "\nAutoActive=1\nSavelog=0\n"), 0);
        qputenv("TARNWICK_HOME", QByteArray::fromStdString(dir_));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_ + "config"));
        QVERIFY(EnsureDirectory(dir_ + "shared") && EnsureDirectory(dir_ + "ivy"));
        QCOMPARE(WriteFileReplacing(dir_ + "ivy/readme.txt", "hello"), 0);

        CGroupEditor group(*store_, std::nullopt, nullptr);
        Named<QLineEdit>(&group, kNameLabel)->setText("team");
        FillFolderDialog(group.FolderPage(), kAdd, "shared", Path("shared"));
        Click(Named<QPushButton>(&group, kSave));
        QCOMPARE(group.result(), int(QDialog::Accepted));
        CUserEditor user(*store_, std::nullopt, Path("ivy"), nullptr);
        QWidget* account = user.Tabs()->widget(0);
        Named<QLineEdit>(account, kUserNameLabel)->setText("ivy");
        Named<QLineEdit>(account, kPasswordLabel)->setText("ivy pw");
        Named<QLineEdit>(account, kGroupsLabel)->setText("team");
        Click(Named<QPushButton>(&user, kSave));
        QCOMPARE(user.result(), int(QDialog::Accepted));

        CFtpServer server;
        CMainDlg window(server, [] { return std::time(nullptr); });
        window.Start();
        QVERIFY(server.IsRunning());
        Client client(port);
        QVERIFY(client.Reply().startsWith("220 "));
        QVERIFY(client.Ask("USER ivy").startsWith("331"));
        QVERIFY(client.Ask("PASS ivy pw").startsWith("230"));
        const QStringList names = client.Ask("NLST /").split('|');
        QVERIFY2(names.contains("shared") && names.contains("readme.txt"), qPrintable(names.join(',')));
        QVERIFY(client.Ask("CWD /shared").startsWith("250"));
        client.Ask("quit");
    }

    void screenshots() {
        const std::vector<VirtualFolder> shared{{"shared", dir_ + "docs", *RightsSet::FromString("RWDRALCRR")}};
        QVERIFY(store_->ChangeGroup(GroupId("staff"), {}, &shared));
        const int id = MakeUser("alice", {{"docs", dir_ + "docs", *RightsSet::FromString("RW---L---")},
                                          {"home", dir_ + "home", *RightsSet::FromString("R----L---")}},
                                "staff", 10240);
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        auto save = [](QWidget* w, const char* name) {
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w));
            QVERIFY(w->grab().save(QString(SCREENSHOT_DIR) + "/" + name));
        };
        CUserEditor editor(*store_, id, Path("home"), nullptr);
        save(&editor, "user-editor-account.png");
        editor.Tabs()->setCurrentIndex(1);
        save(&editor, "user-editor-folders.png");
        editor.Tabs()->setCurrentIndex(2);
        save(&editor, "user-editor-limits.png");
        editor.Tabs()->setCurrentIndex(1);
        SelectRow(editor.FolderPage(), 0);
        Click(Named<QPushButton>(editor.FolderPage(), kEdit));
        save(editor.FolderPage()->Dialog(), "folder-dialog.png");
        editor.FolderPage()->Dialog()->reject();
        editor.Tabs()->setCurrentIndex(0);
        Click(Browse(&editor, kGroupSelectCaption));
        save(editor.GroupSelection(), "group-select.png");
        editor.GroupSelection()->reject();

        CGroupEditor group(*store_, GroupId("staff"), nullptr);
        save(&group, "group-editor.png");
        group.Tabs()->setCurrentIndex(1);
        save(&group, "group-editor-folders.png");
    }
};

QTEST_MAIN(AccountEditorsTest)
#include "AccountEditorsTest.moc"
