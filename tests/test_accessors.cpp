// The main window's nineteen named accessors.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Canvas.h"
#include "Label.h"
#include "MenuBar1.h"
#include "PopupMenu.h"
#include "Runtime.h"
#include "Separator.h"
#include "Window1.h"

namespace {

struct Accessor {
    const char* name;   // the accessor's name, which is also the name it looks up
    const char* cls;    // its result class
    bool menuItem;
    std::function<Ref<Object>(class Window1&)> call;
};

template <class R>
std::function<Ref<Object>(class Window1&)> Call(Ref<R> (Window1::*fn)()) {
    return [fn](class Window1& w) { return Ref<Object>((w.*fn)()); };
}

const std::vector<Accessor>& AllAccessors() {
    static const std::vector<Accessor> list = {
        {"Label1", "Label", false, Call(&Window1::Label1)},
        {"Canvas1", "Canvas", false, Call(&Window1::Canvas1)},
        {"Label2", "Label", false, Call(&Window1::Label2)},
        {"PopupMenu1", "PopupMenu", false, Call(&Window1::PopupMenu1)},
        {"Label3", "Label", false, Call(&Window1::Label3)},
        {"Separator1", "Separator", false, Call(&Window1::Separator1)},
        {"Separator2", "Separator", false, Call(&Window1::Separator2)},
        {"EditMenu", "MenuItem", true, Call(&Window1::EditMenu)},
        {"EditSelectAll", "MenuItem", true, Call(&Window1::EditSelectAll)},
        {"UntitledMenu0", "MenuItem", true, Call(&Window1::UntitledMenu0)},
        {"EditClear", "MenuItem", true, Call(&Window1::EditClear)},
        {"EditPaste", "MenuItem", true, Call(&Window1::EditPaste)},
        {"EditCopy", "MenuItem", true, Call(&Window1::EditCopy)},
        {"EditCut", "MenuItem", true, Call(&Window1::EditCut)},
        {"UntitledMenu1", "MenuItem", true, Call(&Window1::UntitledMenu1)},
        {"EditUndo", "MenuItem", true, Call(&Window1::EditUndo)},
        {"FileMenu", "MenuItem", true, Call(&Window1::FileMenu)},
        {"About", "AppleMenuItem", true, Call(&Window1::About)},
        {"FileQuit", "QuitMenuItem", true, Call(&Window1::FileQuit)},
    };
    return list;
}

class Accessors : public ::testing::Test {
protected:
    void TearDown() override {
        if (Ref<Window> w = GetImplicitWindow("Window1.Window1")) w->Close();
    }
};

}  // namespace

TEST_F(Accessors, EachGivesItsObjectAsExactlyItsClassAndTheSameOneEachTime) {
    Ref<class Window1> w = Window1();
    ASSERT_EQ(AllAccessors().size(), 19u);
    for (const Accessor& a : AllAccessors()) {
        Ref<Object> first = a.call(*w);
        ASSERT_TRUE(first) << a.name;
        EXPECT_EQ(first->ClassOf().name, a.cls) << a.name;
        EXPECT_EQ(a.call(*w), first) << a.name;
        if (a.menuItem) {
            EXPECT_EQ(RuntimeCheckCast<MenuItem>(first)->Name(), a.name);
            EXPECT_EQ(first, Ref<Object>(w->MenuBar()->Lookup(a.name)));
        } else {
            EXPECT_EQ(first, w->ControlByName(a.name));  // the very control the builder made
        }
    }
    // Items inside the menus are found, and the menus are the bar's own.
    EXPECT_EQ(w->EditUndo()->Parent(), w->EditMenu().get());
    EXPECT_EQ(w->EditMenu(), w->MenuBar()->Child("EditMenu"));
    EXPECT_EQ(w->FileMenu(), w->MenuBar()->Child("FileMenu"));
    // The two separators look alike and are told apart by name.
    EXPECT_EQ(w->UntitledMenu0()->Text(), "-");
    EXPECT_EQ(w->UntitledMenu1()->Text(), "-");
    EXPECT_NE(w->UntitledMenu0(), w->UntitledMenu1());
}

TEST_F(Accessors, CallsLeaveEveryReferenceCountAsItWas) {
    Ref<class Window1> w = Window1();
    for (const Accessor& a : AllAccessors()) {
        Ref<Object> held = a.call(*w);
        const int before = held->RefCount();
        const int windowBefore = w->RefCount();
        for (int i = 0; i < 3; ++i) (void)a.call(*w);
        EXPECT_EQ(held->RefCount(), before) << a.name;
        EXPECT_EQ(w->RefCount(), windowBefore) << a.name;
        Ref<Object> again = a.call(*w);
        EXPECT_EQ(held->RefCount(), before + 1) << a.name;  // only the returned reference
    }
}

TEST_F(Accessors, ANewWindowHasNewControlsButTheSameMenuItems) {
    Ref<class Window1> first = Window1();
    std::vector<Ref<Object>> before;
    for (const Accessor& a : AllAccessors()) before.push_back(a.call(*first));
    first->Close();
    Ref<class Window1> second = Window1();
    ASSERT_NE(second.get(), first.get());
    for (size_t i = 0; i < AllAccessors().size(); ++i) {
        const Accessor& a = AllAccessors()[i];
        if (a.menuItem) EXPECT_EQ(a.call(*second), before[i]) << a.name;
        else EXPECT_NE(a.call(*second), before[i]) << a.name;
    }
}

TEST_F(Accessors, WithoutAMenuBarTheMenuItemAccessorsRaiseAndTheControlAccessorsStillAnswer) {
    Ref<class Window1> w = Window1();
    w->SetMenuBar(nullptr);
    for (const Accessor& a : AllAccessors()) {
        if (a.menuItem) {
            Ref<Object> result;
            EXPECT_THROW(result = a.call(*w), NilObjectException) << a.name;
            EXPECT_FALSE(result);
        } else {
            EXPECT_TRUE(a.call(*w)) << a.name;
        }
    }
    // The bar itself is untouched.
    EXPECT_TRUE(MenuBar1()->Lookup("EditUndo"));
}

TEST_F(Accessors, AMenuItemAccessorOffTheMainThreadRaisesBeforeAnyLookup) {
    Ref<class Window1> w = Window1();
    for (const Accessor& a : AllAccessors()) {
        if (!a.menuItem) continue;
        bool raised = false;
        std::thread t([&] {
            try {
                (void)a.call(*w);
            } catch (const ThreadAccessingUIException&) {
                raised = true;
            }
        });
        t.join();
        EXPECT_TRUE(raised) << a.name;
    }
}
