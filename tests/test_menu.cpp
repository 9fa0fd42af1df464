// The menu bar MenuBar1 and the framework's menus on Qt.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <thread>

#include "Application.h"
#include "MenuBar1.h"
#include "Runtime.h"

namespace {

struct Entry {
    const char* name;
    const ClassInfo* cls;
    const char* text;
    const char* shortcut;
    const char* parent;
};

// Part of the program's contract: the twelve entries in creation order.
const Entry kEntries[] = {
    {"FileMenu", &MenuItem::Class(), "&File", "", nullptr},
    {"FileQuit", &QuitMenuItem::Class(), "&Quit", "Cmd+Q", "FileMenu"},
    {"About", &AppleMenuItem::Class(), "About Kestrune", "", "FileMenu"},
    {"EditMenu", &MenuItem::Class(), "&Edit", "", nullptr},
    {"EditUndo", &MenuItem::Class(), "&Undo", "Cmd+Z", "EditMenu"},
    {"UntitledMenu1", &MenuItem::Class(), "-", "", "EditMenu"},
    {"EditCut", &MenuItem::Class(), "Cu&t", "Cmd+X", "EditMenu"},
    {"EditCopy", &MenuItem::Class(), "&Copy", "Cmd+C", "EditMenu"},
    {"EditPaste", &MenuItem::Class(), "&Paste", "Cmd+V", "EditMenu"},
    {"EditClear", &MenuItem::Class(), "&Delete", "", "EditMenu"},
    {"UntitledMenu0", &MenuItem::Class(), "-", "", "EditMenu"},
    {"EditSelectAll", &MenuItem::Class(), "Select &All", "Cmd+A", "EditMenu"},
};

std::vector<String> ChildNames(const Ref<MenuItem>& m) {
    std::vector<String> out;
    for (int64_t i = 0; i < m->Count(); ++i) out.push_back(m->Item(i)->Name());
    return out;
}

int CountNamed(const Ref<MenuItem>& m, const String& name) {
    int n = 0;
    for (int64_t i = 0; i < m->Count(); ++i) {
        Ref<MenuItem> c = m->Item(i);
        if (c->Name() == name) ++n;
        n += CountNamed(c, name);
    }
    return n;
}

class MenuTest : public ::testing::Test {
protected:
    void SetUp() override { RuntimeResetForTesting(); }
    void TearDown() override { RuntimeResetForTesting(); }
};

}  // namespace

TEST_F(MenuTest, BarHoldsTheTwelveEntriesOnceInTableOrder) {
    Ref<class MenuBar1> bar = MenuBar1();
    ASSERT_TRUE(bar);
    EXPECT_EQ(MenuBar1(), bar);
    EXPECT_EQ(MenuBar1::_implicitInstance, bar);
    EXPECT_EQ(bar->ClassOf().name, "MenuBar1.MenuBar1");
    EXPECT_TRUE(bar->ClassOf().IsA(MenuBar::Class()));

    // Built once: two menus on the bar, two and eight items in them.
    EXPECT_EQ(ChildNames(bar), (std::vector<String>{"FileMenu", "EditMenu"}));
    EXPECT_EQ(ChildNames(bar->Child("FileMenu")), (std::vector<String>{"FileQuit", "About"}));
    EXPECT_EQ(ChildNames(bar->Child("EditMenu")),
              (std::vector<String>{"EditUndo", "UntitledMenu1", "EditCut", "EditCopy", "EditPaste", "EditClear",
                                   "UntitledMenu0", "EditSelectAll"}));

    for (const Entry& e : kEntries) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(CountNamed(bar, e.name), 1);
        Ref<MenuItem> item = bar->Lookup(e.name);
        ASSERT_TRUE(item);
        EXPECT_EQ(&item->ClassOf(), e.cls);
        EXPECT_EQ(item->Text(), e.text);
        EXPECT_EQ(item->KeyboardShortcut(), e.shortcut);
        EXPECT_TRUE(item->AutoEnable());
        EXPECT_TRUE(item->Visible());
        EXPECT_EQ(item->Parent(), e.parent ? bar->Child(e.parent).get() : static_cast<MenuItem*>(bar.get()));
    }
    // Child looks only at direct children; Lookup at any depth.
    EXPECT_FALSE(bar->Child("EditUndo"));
    EXPECT_FALSE(bar->Lookup("NoSuchItem"));

}

TEST(MenuBar1Class, SlotsInOrderAndMethodsWithTheFrameworksHooks) {
    const ClassInfo& c = MenuBar1::Class();
    const std::vector<std::string> ops = {
        "Append", "Child", "Clone", "Close", "Constructor", "Constructor", "Constructor", "Count", "Enable",
        "Handle", "Insert", "Item", "MenuItem", "MenuItem", "PopUp", "PopUp", "Remove", "Remove", "Remove",
        "_DependencyList", "_DisableEntirely", "_Lookup", "_Lookup", "_SelfEnable", "_Swap", "_InstallClone",
        "Untitled0", "Untitled1"};
    EXPECT_EQ(c.virtualOps, ops);
    EXPECT_TRUE(c.bindings.empty());
    EXPECT_TRUE(c.properties.empty());

    // Introspection lists every operation, then the hooks that have no slot:
    // MenuItem's initialiser and finaliser, MenuBar's initialiser.
    std::vector<std::string> names;
    for (const MethodInfo& m : c.methods) names.push_back(m.name);
    std::vector<std::string> expected = ops;
    for (const char* hook : {"__Init", "__Exit", "__Init"}) expected.push_back(hook);
    EXPECT_EQ(names, expected);
    for (const MethodInfo& m : c.methods) {
        if (m.name != "Untitled0" && m.name != "Untitled1") continue;
        EXPECT_EQ(m.signature, "") << m.name;
        EXPECT_TRUE(m.attributes.empty()) << m.name;
    }
}

TEST_F(MenuTest, FailedBuildLeavesNoBarAndTheNextCallBuildsAWholeOne) {
    MenuBar1::_implicitInstance = nullptr;
    bool raised = false;
    std::thread other([&] {
        try {
            (void)MenuBar1();
        } catch (const ThreadAccessingUIException& e) {
            raised = std::string(e.what()) == ThreadAccessingUIException::kMessage;
        }
    });
    other.join();
    EXPECT_TRUE(raised);
    EXPECT_FALSE(MenuBar1::_implicitInstance);

    Ref<class MenuBar1> bar = MenuBar1();
    EXPECT_EQ(bar->Count(), 2);
    EXPECT_EQ(bar->Child("FileMenu")->Count(), 2);
    EXPECT_EQ(bar->Child("EditMenu")->Count(), 8);
}

TEST_F(MenuTest, AppendKeepsTheTreeATree) {
    Ref<MenuItem> a(new MenuItem), b(new MenuItem), c(new MenuItem);
    a->Append(b);
    b->Append(c);
    EXPECT_THROW(a->Append(Ref<MenuItem>()), NilObjectException);
    EXPECT_THROW(c->Append(a), InvalidArgumentException);
    EXPECT_THROW(b->Append(b), InvalidArgumentException);
    a->Append(c);  // moves c up from b
    EXPECT_EQ(a->Count(), 2);
    EXPECT_EQ(b->Count(), 0);
    EXPECT_EQ(c->Parent(), a.get());
    EXPECT_THROW(a->Item(2), OutOfBoundsException);
}

TEST(MenuShortcuts, FrameworkNotationMapsToQtKeySequences) {
    struct {
        const char* in;
        QKeySequence out;
    } cases[] = {
        {"Cmd+Q", QKeySequence(Qt::CTRL | Qt::Key_Q)},
        {"cmd+a", QKeySequence(Qt::CTRL | Qt::Key_A)},
        {"Cmd+Shift+Z", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)},
        {"Option+X", QKeySequence(Qt::ALT | Qt::Key_X)},
        {"", QKeySequence()},
    };
    for (const auto& c : cases) EXPECT_EQ(MenuShortcutToKeySequence(c.in), c.out) << c.in;
}

TEST_F(MenuTest, QtMenuBarShowsTheTreeWithSeparatorsMnemonicsAndShortcuts) {
    QWidget host;
    QMenuBar* qbar = BuildQtMenuBar(MenuBar1(), &host);
    const QList<QAction*> menus = qbar->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), "&File");
    EXPECT_EQ(menus[1]->text(), "&Edit");

    const QList<QAction*> file = menus[0]->menu()->actions();
    ASSERT_EQ(file.size(), 2);
    EXPECT_EQ(file[0]->text(), "&Quit");
    EXPECT_EQ(file[0]->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_EQ(file[0]->menuRole(), QAction::QuitRole);
    EXPECT_EQ(file[1]->text(), "About Kestrune");
    EXPECT_TRUE(file[1]->shortcut().isEmpty());
    EXPECT_EQ(file[1]->menuRole(), QAction::AboutRole);

    const QList<QAction*> edit = menus[1]->menu()->actions();
    ASSERT_EQ(edit.size(), 8);
    for (int i = 0; i < edit.size(); ++i) EXPECT_EQ(edit[i]->isSeparator(), i == 1 || i == 6) << i;
    EXPECT_TRUE(edit[1]->text().isEmpty());  // a styled separator would draw its caption "-"
    EXPECT_TRUE(edit[6]->text().isEmpty());
    EXPECT_EQ(edit[0]->shortcut(), QKeySequence("Ctrl+Z"));
    EXPECT_EQ(edit[5]->text(), "&Delete");
    EXPECT_EQ(edit[7]->text(), "Select &All");
    EXPECT_EQ(edit[7]->shortcut(), QKeySequence("Ctrl+A"));

    // A second view of the same tree: the items stay the single description.
    QMenuBar* second = BuildQtMenuBar(MenuBar1(), &host);
    Ref<MenuItem> about = MenuBar1()->Lookup("About");
    about->SetText("About it");
    EXPECT_EQ(file[1]->text(), "About it");
    EXPECT_EQ(second->actions()[0]->menu()->actions()[1]->text(), "About it");
    about->SetText("About Kestrune");
}

TEST_F(MenuTest, ChoosingAboutRunsItsHandlerAndEditItemsRunNothing) {
    Ref<Application> app(new Application);
    RuntimeRegisterAppObject(app);
    std::vector<String> ran;
    app->AddMenuHandler("About", [&](Object* target) {
        EXPECT_EQ(target, app.get());
        ran.push_back("About");
        return true;
    });

    QWidget host;
    QMenuBar* qbar = BuildQtMenuBar(MenuBar1(), &host);
    QMenu* file = qbar->actions()[0]->menu();
    QMenu* edit = qbar->actions()[1]->menu();
    emit file->aboutToShow();
    emit edit->aboutToShow();
    EXPECT_TRUE(file->actions()[1]->isEnabled());  // About: a handler is registered
    for (QAction* a : edit->actions()) {
        if (!a->isSeparator()) {
            EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();  // nothing focused
        }
    }

    file->actions()[1]->trigger();
    EXPECT_EQ(ran, std::vector<String>{"About"});
    for (QAction* a : edit->actions()) a->trigger();
    for (const Entry& e : kEntries)
        if (e.cls != &QuitMenuItem::Class()) MenuBar1()->Lookup(e.name)->Choose();
    EXPECT_EQ(ran, (std::vector<String>{"About", "About"}));
}

TEST_F(MenuTest, EditItemsFollowTheFocusedWidget) {
    QWidget window;
    auto* line = new QLineEdit("hello", &window);
    window.show();
    QApplication::setActiveWindow(&window);
    line->setFocus();
    QApplication::processEvents();
    if (QApplication::focusWidget() != line) GTEST_SKIP() << "the platform gives no focus";

    Ref<MenuItem> copy = MenuBar1()->Lookup("EditCopy");
    Ref<MenuItem> selectAll = MenuBar1()->Lookup("EditSelectAll");
    line->deselect();
    EXPECT_FALSE(copy->EnabledNow());
    EXPECT_TRUE(selectAll->EnabledNow());
    selectAll->Choose();
    EXPECT_EQ(line->selectedText(), "hello");
    ASSERT_TRUE(copy->EnabledNow());
    QApplication::clipboard()->clear();
    copy->Choose();
    EXPECT_EQ(QApplication::clipboard()->text(), "hello");
}

TEST_F(MenuTest, QuitEndsTheEventLoopWithStatusZero) {
    QWidget host;
    QMenuBar* qbar = BuildQtMenuBar(MenuBar1(), &host);
    QAction* quit = qbar->actions()[0]->menu()->actions()[0];
    bool ranLate = false;
    QTimer::singleShot(0, quit, [quit] { quit->trigger(); });
    QTimer guard;  // ends the loop should Quit fail to
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        ranLate = true;
        QCoreApplication::exit(3);
    });
    guard.start(10000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(ranLate);
}

TEST_F(MenuTest, TheTrayMenuHoldsOnlyWhatCanActWithNoWindowAboutFirstQuitLast) {
    Ref<Application> app(new Application);
    RuntimeRegisterAppObject(app);
    int abouts = 0;
    app->AddMenuHandler("About", [&](Object*) { return ++abouts > 0; });
    // The application's menu bar: an About item is what a second launch and
    // the tray bring the window back with.
    app->SetMenuBar(MenuBar1());
    EXPECT_EQ(FindMenuItemOfClass(MenuBar1(), AppleMenuItem::Class()), MenuBar1()->Lookup("About"));
    EXPECT_EQ(FindMenuItemOfClass(MenuBar1(), QuitMenuItem::Class()), MenuBar1()->Lookup("FileQuit"));
    EXPECT_FALSE(FindMenuItemOfClass(MenuBar1()->Lookup("EditMenu"), AppleMenuItem::Class()));

    QMenu menu;
    AddTrayItemsToQtMenu(MenuBar1(), &menu);
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "About Kestrune");
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), "&Quit");
    EXPECT_EQ(actions[2]->menuRole(), QAction::QuitRole);
    for (QAction* a : actions) EXPECT_EQ(a->menu(), nullptr) << "flat: no submenus";
    emit menu.aboutToShow();
    EXPECT_TRUE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[2]->isEnabled());
    actions[0]->trigger();
    EXPECT_EQ(abouts, 1);
    // The tray follows the items as the window's menus do.
    Ref<MenuItem> about = MenuBar1()->Lookup("About");
    about->SetText("About it");
    EXPECT_EQ(actions[0]->text(), "About it");
    about->SetText("About Kestrune");
    app->SetMenuBar(nullptr);
}
