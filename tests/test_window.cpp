// Windows on Qt and the main window Window1: events, design values, the
// accessor, closing, the shared menu bar.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenuBar>
#include <QWidget>

#include <thread>

#include "App.h"
#include "Application.h"
#include "DesignValues.h"
#include "Label.h"
#include "MenuBar1.h"
#include "Runtime.h"
#include "Window1.h"

namespace {

std::vector<std::string> g_log;
int g_probesAlive = 0;

// A control the tests can allocate.
class ProbeControl : public Control {
    KESTRUNE_CLASS()
};

const ClassInfo& ProbeControl::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "ProbeControl";
        c.base = &Control::Class();
        c.factory = [] { return new ProbeControl; };
        return c;
    }();
    return info;
}

// Window1 with its control builder replaced: it records the order of the
// events, the title each one sees, and registers one control with an Open
// handler.
class ProbeWindow : public Window1 {
    KESTRUNE_CLASS()
public:
    ProbeWindow() { ++g_probesAlive; }
    ~ProbeWindow() override { --g_probesAlive; }
    void CreateControls0() override {
        g_log.push_back("CreateControls title=" + Title().toStdString());
        Ref<Control> c = RuntimeCheckCast<Control>(New(ProbeControl::Class()));
        AddControl("Probe", c);
        RuntimeAddEventHandler(c, "Open", RuntimeCreateDelegate(+[](Control* ctl) {
            g_log.push_back("Control.Open owner-title=" + ctl->Owner()->Title().toStdString());
        }, nullptr, "( Control )", 0));
    }
    void Layout() override {
        Window1::Layout();
        g_log.push_back("Layout title=" + Title().toStdString());
    }
    void Event_Open() override {
        Window1::Event_Open();
        g_log.push_back("Open title=" + Title().toStdString());
    }
};

const ClassInfo& ProbeWindow::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "ProbeWindow";
        c.base = &Window1::Class();
        c.factory = [] { return new ProbeWindow; };
        return c;
    }();
    return info;
}

Ref<ProbeWindow> MakeProbe() {
    Ref<ProbeWindow> w = RuntimeCheckCast<ProbeWindow>(RuntimeNewObject(ProbeWindow::Class()));
    w->Constructor();
    return w;
}

void FlushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        RuntimeResetForTesting();
        g_log.clear();
        app_ = RuntimeCheckCast<Application>(RuntimeNewObject(App::Class()));
        app_->SetMenuBar(MenuBar1());
        RuntimeRegisterAppObject(app_);
    }
    void TearDown() override {
        RuntimeCloseAllWindows();
        FlushDeletes();
        RuntimeResetForTesting();
    }
    Ref<Application> app_;
};

}  // namespace

TEST(Window1Stream, Holds22RecordsIn330BytesThatSetEveryWindowValue) {
    const std::string_view s = Window1DesignValues();
    ASSERT_EQ(s.size(), 330u);
    EXPECT_EQ(CountDesignRecords(Window::Class(), s), 22u);
    EXPECT_EQ(s.substr(0, 14), std::string_view("Width \xE0\x01\0\0\0\0\0\0", 14));
    EXPECT_NE(s.find("MacProcID "), std::string_view::npos);  // as the stream spells it
    EXPECT_EQ(s.substr(s.size() - 16), std::string_view("MenuBarVisible \x01", 16));

    // Applied to a window that is not made yet: every value lands, and
    // "MacProcID" sets MacProcId.
    Ref<Window> w(new Window);
    w->SetMacProcId(99);
    w->SetResizeable(true);
    w->SetHasBackColor(true);
    SetProperties(w, s);
    EXPECT_EQ(w->Width(), 480);
    EXPECT_EQ(w->Height(), 420);
    EXPECT_EQ(w->MinWidth(), 480);
    EXPECT_EQ(w->MinHeight(), 420);
    EXPECT_EQ(w->MaxWidth(), 480);
    EXPECT_EQ(w->MaxHeight(), 420);
    EXPECT_EQ(w->MacProcId(), 0);
    EXPECT_EQ(w->Title(), "Kestrune");
    EXPECT_FALSE(w->Resizeable());
    EXPECT_TRUE(w->CloseButton());
    EXPECT_TRUE(w->MinimizeButton());
    EXPECT_FALSE(w->MaximizeButton());
    EXPECT_FALSE(w->FullScreenButton());
    EXPECT_FALSE(w->HasBackColor());
    EXPECT_EQ(w->BackColor(), Color{0xFFFFFF});
    EXPECT_TRUE(w->MenuBarVisible());
}

TEST_F(WindowTest, EventsRunInOrderAndTheVersionedTitleStands) {
    app_->_x_SetVersionData(2, 10, 3, 0, 0, "", "", "");
    Ref<ProbeWindow> w = MakeProbe();
    EXPECT_EQ(g_log, (std::vector<std::string>{"CreateControls title=", "Layout title=Kestrune",
                                                "Control.Open owner-title=Kestrune", "Open title=Kestrune 2.10"}));
    EXPECT_EQ(w->Widget()->windowTitle(), "Kestrune 2.10");

    struct {
        int64_t major, minor;
        const char* title;
    } versions[] = {{0, 0, "Kestrune 0.0"}, {1, 0, "Kestrune 1.0"}, {12, 345, "Kestrune 12.345"}};
    for (const auto& v : versions) {
        app_->_x_SetVersionData(v.major, v.minor, 9, 0, 0, "", "", "");
        w->Event_Open();
        EXPECT_EQ(w->Title(), v.title);
    }
}

TEST_F(WindowTest, OpenWithoutAnApplicationObjectKeepsThePlainTitle) {
    RuntimeRegisterAppObject(nullptr);
    Ref<ProbeWindow> w = MakeProbe();
    EXPECT_EQ(g_log.back(), "Control.Open owner-title=Kestrune");  // Open raised, wrote nothing
    EXPECT_EQ(w->Title(), "Kestrune");
}

TEST_F(WindowTest, WindowIsAFixed480By420ContentAreaShownByItsDesignValues) {
    Ref<class Window1> w = Window1();
    QWidget* top = w->Widget();
    QWidget* content = w->ContentWidget();
    ASSERT_TRUE(top && content);
    EXPECT_TRUE(top->isVisible());  // nothing called Show
    EXPECT_TRUE(w->Visible());
    EXPECT_EQ(content->size(), QSize(480, 420));
    EXPECT_EQ(content->minimumSize(), QSize(480, 420));
    EXPECT_EQ(content->maximumSize(), QSize(480, 420));
    EXPECT_EQ(top->minimumSize(), top->maximumSize());
    EXPECT_EQ(top->width(), 480);

    auto* qbar = top->findChild<QMenuBar*>();
    ASSERT_TRUE(qbar);
    EXPECT_EQ(top->height(), 420 + qbar->sizeHint().height());
    EXPECT_EQ(content->y(), qbar->sizeHint().height());
    ASSERT_EQ(qbar->actions().size(), 2);
    EXPECT_EQ(qbar->actions()[0]->text(), "&File");
    EXPECT_EQ(qbar->actions()[1]->text(), "&Edit");

    const Qt::WindowFlags f = top->windowFlags();
    EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(f & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f & Qt::WindowFullscreenButtonHint);
    EXPECT_EQ(top->windowTitle(), "Kestrune " + String::number(KESTRUNE_VERSION_MAJOR) + "." +
                                      String::number(KESTRUNE_VERSION_MINOR));
}

TEST_F(WindowTest, AccessorGivesTheOpenWindowAndANewOneAfterTheUserClosedIt) {
    Ref<class Window1> first = Window1();
    EXPECT_EQ(Window1(), first);
    EXPECT_EQ(Window1(), first);
    EXPECT_EQ(GetImplicitWindow("Window1.Window1"), Ref<Window>(first));
    EXPECT_EQ(first->MenuBar(), app_->MenuBar());
    Ref<MenuItem> about = first->MenuBar()->Lookup("About");

    first->Widget()->close();  // the close button
    EXPECT_FALSE(first->IsOpen());
    EXPECT_FALSE(GetImplicitWindow("Window1.Window1"));

    Ref<class Window1> second = Window1();
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->IsOpen());
    EXPECT_EQ(second->MenuBar(), app_->MenuBar());
    EXPECT_EQ(second->MenuBar()->Lookup("About"), about);
    EXPECT_EQ(second->Title(), first->Title());
    first = nullptr;
    FlushDeletes();
    EXPECT_EQ(Window1(), second);
}

TEST_F(WindowTest, ClosingReleasesTheFrameworksHoldSoTheWindowDies) {
    const int before = g_probesAlive;
    MakeProbe();  // nobody but the framework keeps it
    EXPECT_EQ(g_probesAlive, before + 1);
    Ref<Window> held = GetImplicitWindow("ProbeWindow");
    ASSERT_TRUE(held);
    QWidget* top = held->Widget();
    held = nullptr;
    EXPECT_EQ(g_probesAlive, before + 1);

    top->close();  // the window dies inside its widget's close event
    EXPECT_EQ(g_probesAlive, before);
    FlushDeletes();  // and its widget once the loop runs
    EXPECT_EQ(g_log.size(), 4u);  // closing ran no handler

    // Close does the same for a window the program holds, which stays
    // closed: Show brings back nothing.
    Ref<ProbeWindow> w = MakeProbe();
    w->Close();
    EXPECT_FALSE(GetImplicitWindow("ProbeWindow"));
    w->Show();
    EXPECT_FALSE(w->Widget()->isVisible());
}

TEST_F(WindowTest, ShowBringsBackAMinimisedWindow) {
    Ref<class Window1> w = Window1();
    w->Widget()->showMinimized();
    w->Show();
    EXPECT_FALSE(w->Widget()->windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(w->Widget()->isVisible());
}

TEST_F(WindowTest, ControlsAreAllocatedInTheWindowAndFoundByName) {
    Ref<Window> w(new Window);
    w->Constructor();
    Ref<Control> c = RuntimeCheckCast<Control>(w->New(ProbeControl::Class()));
    EXPECT_EQ(c->Owner(), w.get());
    Ref<Object> item = w->New(MenuItem::Class());  // not a control: no owner to set
    EXPECT_TRUE(item);
    w->AddControl("One", c);
    EXPECT_EQ(w->ControlByName("One"), Ref<Object>(c));
    EXPECT_FALSE(w->ControlByName("one"));
    EXPECT_FALSE(w->ControlByName("Two"));
    EXPECT_THROW(w->AddControl("Nil", Ref<Control>()), NilObjectException);
    ASSERT_EQ(w->Controls().size(), 1u);

    // A control with a rectangle shows its widget in the content area, at
    // content coordinates.
    Ref<RectControl> label = RuntimeCheckCast<RectControl>(w->New(Label::Class()));
    label->Constructor();
    label->SetLeft(20);
    label->SetTop(387);
    ASSERT_TRUE(label->Widget());
    EXPECT_EQ(label->Widget()->parentWidget(), w->ContentWidget());
    EXPECT_EQ(label->Widget()->pos(), QPoint(20, 387));
    w->Close();
}

TEST_F(WindowTest, UserInterfaceOperationsOffTheMainThreadRaise) {
    Ref<Window> w(new Window);
    std::vector<std::string> raised;
    std::thread other([&] {
        auto expect = [&](const char* what, const std::function<void()>& op) {
            try {
                op();
            } catch (const ThreadAccessingUIException&) {
                raised.push_back(what);
            }
        };
        expect("Constructor", [&] { w->Constructor(); });
        expect("Title", [&] { w->SetTitle("x"); });
        expect("MenuBar", [&] { (void)w->MenuBar(); });
        expect("Show", [&] { w->Show(); });
        expect("AddControl", [&] { w->AddControl("c", Ref<Control>(new ProbeControl)); });
    });
    other.join();
    EXPECT_EQ(raised, (std::vector<std::string>{"Constructor", "Title", "MenuBar", "Show", "AddControl"}));
    EXPECT_FALSE(w->Widget());
}

TEST(Window1Class, DescribesItsSlotsBindingsAndMethods) {
    const ClassInfo& c = Window1::Class();
    EXPECT_EQ(c.name, "Window1.Window1");
    EXPECT_EQ(c.base, &Window::Class());
    const auto& windowOps = Window::Class().virtualOps;
    ASSERT_EQ(windowOps.size(), 36u);
    EXPECT_EQ(windowOps.front(), "AcceptFileDrop");
    EXPECT_EQ(windowOps.back(), "__New");
    ASSERT_EQ(c.virtualOps.size(), 36u + 27u);
    EXPECT_TRUE(std::equal(windowOps.begin(), windowOps.end(), c.virtualOps.begin()));
    const std::vector<std::string> own(c.virtualOps.begin() + 36, c.virtualOps.end());
    EXPECT_EQ(own, (std::vector<std::string>{
                       "Layout", "CreateControls", "_CreateControls0", "Label1", "Canvas1", "Label2", "PopupMenu1",
                       "Label3", "Separator1", "Separator2", "Label1_MouseDown", "Label2_MouseDown",
                       "PopupMenu1_Open", "PopupMenu1_Change", "EditMenu", "EditSelectAll", "UntitledMenu0",
                       "EditClear", "EditPaste", "EditCopy", "EditCut", "UntitledMenu1", "EditUndo", "FileMenu",
                       "About", "FileQuit", "Event_Open"}));

    // Three events bound, of Window's thirty-four.
    EXPECT_EQ(Window::Class().events.size(), 34u);
    std::vector<std::pair<std::string, std::string>> bound;
    for (const EventBinding& b : c.bindings) bound.emplace_back(b.event, b.handler);
    EXPECT_EQ(bound, (std::vector<std::pair<std::string, std::string>>{
                         {"CreateControls", "Window1.CreateControls"},
                         {"Layout", "Window1.Layout"},
                         {"Open", "Window1.Event_Open"}}));

    // Only the control builder carries an attribute: Hidden, empty.
    int withAttributes = 0;
    for (const MethodInfo& m : c.methods) {
        if (m.attributes.empty()) continue;
        ++withAttributes;
        EXPECT_EQ(m.name, "_CreateControls0");
        EXPECT_EQ(m.attributes, (std::vector<std::pair<std::string, std::string>>{{"Hidden", ""}}));
    }
    EXPECT_EQ(withAttributes, 1);
    EXPECT_EQ(c.methods.size(), c.virtualOps.size());
    EXPECT_TRUE(c.properties.empty());  // the window's properties are Window's
    EXPECT_EQ(Window::Class().properties.size(), 22u);
}
