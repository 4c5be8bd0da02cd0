// The users and groups pages driven through their real widgets over real account tables: listing, the
// filter, sorting, deleting with its question, a damaged table, and the editors they open.
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <fstream>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "admin/AccountPages.h"
#include "admin/GroupEditor.h"
#include "admin/MessageBoxes.h"
#include "admin/UserEditor.h"
#include "platform/FileSystem.h"
#include "tests/gui/GuiTestSupport.h"

using namespace tw;
using namespace tw::admin;
using tw::test::Boxes;

namespace {

// The texts of one column, top to bottom, of the rows that show.
QStringList Shown(QTreeWidget* list, int column = 0) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (!list->topLevelItem(i)->isHidden()) texts << list->topLevelItem(i)->text(column);
    return texts;
}

QPushButton* Button(QWidget* page, const QString& text) {
    for (QPushButton* b : page->findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

void Select(QTreeWidget* list, const QString& name, int column = 0) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(column) == name) list->setCurrentItem(list->topLevelItem(i));
}

}  // namespace

class AccountPagesTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir temp_;
    std::string dir_;
    std::unique_ptr<CAccountStore> store_;

    int User(const std::string& name, std::vector<int> groups = {}, const std::string& email = "") {
        int id = 0;
        const std::string home = dir_ + name;
        QDir().mkpath(QString::fromStdString(home));
        const AccountStatus s =
            store_->AddUser({.userid = name, .email = email, .homedir = home, .groups = groups}, nullptr, id);
        [&] { QVERIFY2(s, s.text.c_str()); }();
        return id;
    }
    int Group(const std::string& name) {
        int id = 0;
        const AccountStatus s = store_->AddGroup({.name = name}, nullptr, id);
        [&] { QVERIFY2(s, s.text.c_str()); }();
        return id;
    }
    void Screenshot(QWidget* page, const char* name) {
        page->resize(760, 420);
        QVERIFY(QDir().mkpath(SCREENSHOT_DIR));
        QVERIFY(page->grab().save(QString(SCREENSHOT_DIR) + "/" + name));
    }

private slots:
    void init() {
        QVERIFY(temp_.isValid());
        dir_ = test::NewProgramDirectory(temp_);
        QVERIFY(!dir_.empty());
        std::string error;
        QVERIFY(CreateUserTable(UserTablePath(dir_), error));
        QVERIFY(CreateGroupTable(GroupTablePath(dir_), error));
        store_ = std::make_unique<CAccountStore>(dir_);
    }

    void usersListFilterAndSort() {
        const int staff = Group("staff"), guests = Group("guests");
        User("carol", {guests}, "carol@example.org");
        const int alice = User("alice", {staff, guests}, "alice@example.org");
        QVERIFY(store_->ChangeUser(alice, {.password = PasswordText{"s3cret", true}}, nullptr));
        User("bob", {}, "bob@other.example");
        CUsersPage page(dir_);
        page.show();
        QTreeWidget* list = page.List();
        QCOMPARE(Shown(list), (QStringList{"alice", "bob", "carol"}));
        QCOMPARE(Shown(list, 1), (QStringList{"******", "", ""}));
        QCOMPARE(Shown(list, 3), (QStringList{"staff,guests", "", "guests"}));
        QCOMPARE(Shown(list, 4), (QStringList{"Enable", "Enable", "Enable"}));

        // The list narrows as one types, word by word, and widens again.
        QTest::keyClicks(page.Filter(), "GUEST");
        QCOMPARE(Shown(list), (QStringList{"alice", "carol"}));
        QTest::keyClicks(page.Filter(), " car");
        QCOMPARE(Shown(list), QStringList{"carol"});
        page.Filter()->clear();
        QCOMPARE(Shown(list).size(), 3);

        // A click on a column header sorts by it; a second one turns the order round.
        QHeaderView* header = list->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(2) + 5, 5));
        QCOMPARE(Shown(list, 2), (QStringList{"alice@example.org", "bob@other.example", "carol@example.org"}));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(2) + 5, 5));
        QCOMPARE(Shown(list, 2), (QStringList{"carol@example.org", "bob@other.example", "alice@example.org"}));

        // Made elsewhere (sdbtool, another editor): shown at the next refresh, filter kept.
        QTest::keyClicks(page.Filter(), "a");
        User("dave");
        QTest::mouseClick(Button(&page, "刷新"), Qt::LeftButton);
        QCOMPARE(Shown(list).size(), 4);  // every name holds an "a"
        page.Filter()->clear();
        list->sortByColumn(0, Qt::AscendingOrder);
        Screenshot(&page, "users-page.png");
    }

    void groupIdsSortAsNumbers() {
        for (int i = 0; i < 11; ++i) Group("g" + std::to_string(i));
        CGroupsPage page(dir_);
        page.show();
        QCOMPARE(Shown(page.List()).first(), QString("1"));
        QCOMPARE(Shown(page.List()).last(), QString("11"));
        QTest::keyClicks(page.Filter(), "g1");
        QCOMPARE(Shown(page.List(), 1), (QStringList{"g1", "g10"}));
        page.Filter()->clear();
        Screenshot(&page, "groups-page.png");
    }

    void deletingAUserAsksFirstAndTakesItsFolders() {
        const int id = User("alice");
        User("bob");
        const std::vector<VirtualFolder> folders = {{"pub", dir_, *RightsSet::FromString(kNewRights)}};
        QVERIFY(store_->ChangeUser(id, {}, &folders));
        const std::string table = FolderTablePath(dir_, FolderOwner::User, id);
        QVERIFY(QFile::exists(QString::fromStdString(table)));
        CUsersPage page(dir_);
        page.show();
        Select(page.List(), "alice");
        {
            Boxes no(false);
            QTest::mouseClick(Button(&page, "删除"), Qt::LeftButton);
            QCOMPARE(no.texts, QStringList{"你真的要删除此用户吗?"});
        }
        QCOMPARE(Shown(page.List()), (QStringList{"alice", "bob"}));
        {
            Boxes yes(true);
            QTest::mouseClick(Button(&page, "删除"), Qt::LeftButton);
            QCOMPARE(yes.texts, QStringList{"你真的要删除此用户吗?"});
        }
        QCOMPARE(Shown(page.List()), QStringList{"bob"});
        QVERIFY(!QFile::exists(QString::fromStdString(table)));

        // Gone meanwhile: the Delete key asks, then says it could not.
        Select(page.List(), "bob");
        Account bob;
        QVERIFY(store_->FindUser("bob", bob));
        QVERIFY(store_->DeleteUser(bob.id));
        Boxes yes(true);
        QTest::keyClick(page.List(), Qt::Key_Delete);
        QCOMPARE(yes.texts, (QStringList{"你真的要删除此用户吗?", "无法删除用户"}));
        QCOMPARE(Shown(page.List()), QStringList());
    }

    void deletingAGroupTakesItOutOfItsMembers() {
        const int staff = Group("staff"), guests = Group("guests");
        User("alice", {guests, staff});
        CGroupsPage page(dir_);
        page.show();
        Select(page.List(), "guests", 1);
        {
            Boxes yes(true);
            QTest::mouseClick(Button(&page, "删除"), Qt::LeftButton);
            QCOMPARE(yes.texts, QStringList{"你真的要删除这个组吗?"});
        }
        QCOMPARE(Shown(page.List(), 1), QStringList{"staff"});
        Account alice;
        QVERIFY(store_->FindUser("alice", alice));
        QCOMPARE(alice.groups, std::vector<int>{staff});
        QVERIFY(!QFile::exists(QString::fromStdString(FolderTablePath(dir_, FolderOwner::Group, guests))));

        // The user table cannot be opened: the members cannot be dropped, so the group stays.
        QVERIFY(QFile::rename(QString::fromStdString(UserTablePath(dir_)), QString::fromStdString(dir_ + "away")));
        Select(page.List(), "staff", 1);
        Boxes yes(true);
        QTest::mouseClick(Button(&page, "删除"), Qt::LeftButton);
        QCOMPARE(yes.texts, (QStringList{"你真的要删除这个组吗?", "无法删除组"}));
        QCOMPARE(Shown(page.List(), 1), QStringList{"staff"});
    }

    // A table that does not read leaves the page usable and says which file; nothing is written over it.
    void aDamagedTableIsNamedAndLeftAlone() {
        User("alice");
        const std::string path = UserTablePath(dir_);
        { std::ofstream(path, std::ios::trunc) << "not a table"; }
        CUsersPage page(dir_);
        page.show();
        QCOMPARE(page.Status()->text(), QString::fromStdString("无法读取 " + path));
        QVERIFY(page.Status()->isVisible());
        QCOMPARE(page.List()->topLevelItemCount(), 0);
        {
            Boxes any(true);
            QTest::mouseClick(Button(&page, "删除"), Qt::LeftButton);  // nothing selected: nothing asked
            QTest::mouseClick(Button(&page, "刷新"), Qt::LeftButton);
            QCOMPARE(any.texts, QStringList());
        }
        std::ifstream in(path);
        QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), std::string("not a table"));

        // A page whose groups do not read still lists its users, with their group ids.
        std::string error;
        QVERIFY(QFile::remove(QString::fromStdString(path)));
        QVERIFY(CreateUserTable(path, error));
        User("bob", {7});
        QVERIFY(QFile::remove(QString::fromStdString(GroupTablePath(dir_))));
        page.Refresh();
        QCOMPARE(Shown(page.List(), 3), QStringList{"7"});
        QCOMPARE(page.Status()->text(), QString::fromStdString("无法读取 " + GroupTablePath(dir_)));
    }

    // "加入..." opens an empty editor with the home from "defaultdir"; an activated row (Enter, double click)
    // opens its editor.
    void thePagesOpenTheEditors() {
        QVERIFY(WriteFileReplacing(dir_ + "option.ini", "[Server]\ndefaultdir=" + dir_ + "\n") == 0);
        User("alice");
        CUsersPage page(dir_);
        page.show();
        QTest::mouseClick(Button(&page, "加入..."), Qt::LeftButton);
        auto* editor = page.findChild<CUserEditor*>();
        QVERIFY(editor && editor->isVisible());
        QCOMPARE(editor->windowTitle(), QString("用户帐号"));
        bool prefilled = false;
        for (QLineEdit* field : editor->findChildren<QLineEdit*>())
            prefilled = prefilled || field->text() == QString::fromStdString(dir_);
        QVERIFY(prefilled);
        QPointer<CUserEditor> closed = editor;
        editor->reject();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // a closed editor deletes itself
        QVERIFY(!closed);

        Select(page.List(), "alice");
        QTest::keyClick(page.List(), Qt::Key_Return);  // activates the row, as a double click does
        editor = page.findChild<CUserEditor*>();
        QVERIFY(editor && editor->isVisible());
        bool named = false;
        for (QLineEdit* field : editor->findChildren<QLineEdit*>()) named = named || field->text() == "alice";
        QVERIFY(named);
        editor->reject();

        CGroupsPage groups(dir_);
        groups.show();
        QTest::mouseClick(Button(&groups, "加入..."), Qt::LeftButton);
        auto* groupEditor = groups.findChild<CGroupEditor*>();
        QVERIFY(groupEditor && groupEditor->isVisible());
        QCOMPARE(groupEditor->windowTitle(), QString("组"));
        groupEditor->reject();
    }
};

QTEST_MAIN(AccountPagesTest)
#include "AccountPagesTest.moc"
