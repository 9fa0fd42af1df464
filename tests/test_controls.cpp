// The framework's controls: Label, Canvas, PopupMenu and Separator on Qt,
// their design-value properties, events and the main-thread guard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QWidget>

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <memory>
#include <thread>
#include <vector>

#include "Canvas.h"
#include "Label.h"
#include "PopupMenu.h"
#include "Runtime.h"
#include "Separator.h"

namespace {

// The handlers' target: records what the framework calls.
class Probe : public Object {
    KESTRUNE_CLASS()
public:
    std::vector<int64_t> changes;          // ListIndex seen in each Change
    std::vector<std::string> log;
    std::function<void(PopupMenu*)> onChange;
    bool mouseResult = false;
    int64_t lastX = -1, lastY = -1;
    Label* lastLabel = nullptr;

    void Change(PopupMenu* p) {
        changes.push_back(p->ListIndex());
        log.push_back("change");
        if (onChange) onChange(p);
    }
    void Open(PopupMenu* p) {
        log.push_back("open");
        p->AddRow("first");
    }
    bool MouseDown(Label* l, int64_t x, int64_t y) {
        lastLabel = l;
        lastX = x;
        lastY = y;
        log.push_back("mousedown");
        return mouseResult;
    }
};

const ClassInfo& Probe::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Probe";
        c.base = &Object::Class();
        return c;
    }();
    return info;
}

class Controls : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<QWidget>();
        host_->resize(480, 420);
        probe_ = Ref<Probe>(new Probe);
    }

    template <class T>
    Ref<T> Make() {
        Ref<T> c = RuntimeCheckCast<T>(RuntimeNewObject(T::Class()));
        c->SetHostWidget(host_.get());
        c->Constructor();
        return c;
    }

    Ref<PopupMenu> PopupWithChange() {
        Ref<PopupMenu> p = Make<PopupMenu>();
        RuntimeAddEventHandler(Ref<Object>(p), "Change",
                               RuntimeCreateDelegate(&Probe::Change, probe_.get(), "( PopupMenu )", 1));
        return p;
    }

    // Sets a property the way a design-value stream does: by name, without
    // regard to letter case.
    static void SetByName(Object& o, const char* name, PropValue v) {
        const PropertyInfo* p = o.ClassOf().FindProperty(name);
        ASSERT_NE(p, nullptr) << name;
        ASSERT_TRUE(p->set) << name;
        p->set(o, v);
    }

    std::unique_ptr<QWidget> host_;
    Ref<Probe> probe_;
};

}  // namespace

TEST_F(Controls, EachClassDeclaresItsStreamPropertiesByNameAndType) {
    struct Expect {
        const ClassInfo* cls;
        std::vector<std::pair<const char*, PropType>> props;
    };
    const std::vector<std::pair<const char*, PropType>> rect = {
        {"Name", PropType::String},         {"Index", PropType::Integer},
        {"TabPanelIndex", PropType::Integer}, {"Left", PropType::Integer},
        {"Top", PropType::Integer},         {"Width", PropType::Integer},
        {"Height", PropType::Integer},      {"LockLeft", PropType::Boolean},
        {"LockTop", PropType::Boolean},     {"LockRight", PropType::Boolean},
        {"LockBottom", PropType::Boolean},  {"TabIndex", PropType::Integer},
        {"TabStop", PropType::Boolean},     {"Enabled", PropType::Boolean},
        {"Visible", PropType::Boolean},     {"HelpTag", PropType::String},
        {"InitialParent", PropType::String}, {"AutoDeactivate", PropType::Boolean}};
    const std::vector<std::pair<const char*, PropType>> font = {
        {"TextFont", PropType::String}, {"TextSize", PropType::Single}, {"TextUnit", PropType::FontUnit},
        {"Bold", PropType::Boolean},    {"Italic", PropType::Boolean},  {"Underline", PropType::Boolean},
        {"DataSource", PropType::String}, {"DataField", PropType::String}};
    auto with = [&](std::vector<std::pair<const char*, PropType>> more, bool withFont) {
        auto all = rect;
        if (withFont) all.insert(all.end(), font.begin(), font.end());
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Expect expects[] = {
        {&Label::Class(),
         with({{"Text", PropType::String}, {"TextAlign", PropType::Integer}, {"TextColor", PropType::Color},
               {"Multiline", PropType::Boolean}, {"Selectable", PropType::Boolean},
               {"Transparent", PropType::Boolean}},
              true)},
        {&Canvas::Class(),
         with({{"Backdrop", PropType::Object}, {"UseFocusRing", PropType::Boolean},
               {"AcceptFocus", PropType::Boolean}, {"AcceptTabs", PropType::Boolean},
               {"DoubleBuffer", PropType::Boolean}, {"EraseBackground", PropType::Boolean},
               {"Transparent", PropType::Boolean}},
              false)},
        {&PopupMenu::Class(),
         with({{"InitialValue", PropType::String}, {"ListIndex", PropType::Integer}}, true)},
        {&Separator::Class(), with({}, false)},
    };
    for (const Expect& e : expects) {
        for (const auto& [name, type] : e.props) {
            const PropertyInfo* p = e.cls->FindProperty(name);
            ASSERT_NE(p, nullptr) << e.cls->name << "." << name;
            EXPECT_EQ(p->type, type) << e.cls->name << "." << name;
            EXPECT_TRUE(p->set && p->get) << e.cls->name << "." << name;
        }
        // Declared once: no name appears twice along the class chain.
        std::set<std::string> seen;
        for (const PropertyInfo* p : e.cls->AllProperties()) {
            std::string lower = p->name;
            for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            EXPECT_TRUE(seen.insert(lower).second) << e.cls->name << " declares " << p->name << " twice";
        }
    }
    EXPECT_TRUE(Label::Class().IsA(RectControl::Class()));
    EXPECT_TRUE(Separator::Class().IsA(Control::Class()));
}

TEST_F(Controls, RectValuesReachTheWidget) {
    Ref<Label> l = Make<Label>();
    SetByName(*l, "Left", int64_t{20});
    SetByName(*l, "Top", int64_t{154});
    SetByName(*l, "Width", int64_t{440});
    SetByName(*l, "Height", int64_t{141});
    SetByName(*l, "HelpTag", String("a tip"));
    SetByName(*l, "Enabled", false);
    SetByName(*l, "LockLeft", true);
    QWidget* w = l->Widget();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget(), host_.get());
    EXPECT_EQ(w->geometry(), QRect(20, 154, 440, 141));
    EXPECT_EQ(w->toolTip(), "a tip");
    EXPECT_FALSE(w->isEnabled());
    EXPECT_TRUE(l->lockLeft);
    EXPECT_FALSE(w->isHidden());
    SetByName(*l, "Visible", false);
    EXPECT_TRUE(w->isHidden());
    // Values set before the widget exists are shown when it is made.
    Ref<Separator> s = RuntimeCheckCast<Separator>(RuntimeNewObject(Separator::Class()));
    s->SetLeft(20);
    s->SetTop(294);
    s->SetWidth(440);
    s->SetHeight(5);
    s->SetHostWidget(host_.get());
    s->Constructor();
    EXPECT_EQ(s->Widget()->geometry(), QRect(20, 294, 440, 5));
    EXPECT_EQ(static_cast<QFrame*>(s->Widget())->frameShape(), QFrame::HLine);
    s->SetWidth(2);
    s->SetHeight(100);
    EXPECT_EQ(static_cast<QFrame*>(s->Widget())->frameShape(), QFrame::VLine);
}

TEST_F(Controls, TabIndexOrdersTheFocusChain) {
    Ref<PopupMenu> a = Make<PopupMenu>();
    Ref<PopupMenu> b = Make<PopupMenu>();
    Ref<PopupMenu> c = Make<PopupMenu>();
    // Creation order read from b would be b, c, a.
    a->SetTabIndex(1);
    b->SetTabIndex(0);
    c->SetTabIndex(2);
    // Walk the focus chain from b and keep the three popups.
    std::vector<QWidget*> order;
    QWidget* w = b->Widget();
    for (int steps = 0; steps < 50 && order.size() < 3; ++steps, w = w->nextInFocusChain())
        if (w == a->Widget() || w == b->Widget() || w == c->Widget())
            if (std::find(order.begin(), order.end(), w) == order.end()) order.push_back(w);
    EXPECT_EQ(order, (std::vector<QWidget*>{b->Widget(), a->Widget(), c->Widget()}));
    // A canvas that accepts no focus and a label never take it.
    Ref<Canvas> canvas = Make<Canvas>();
    EXPECT_EQ(canvas->Widget()->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(a->Widget()->focusPolicy(), Qt::StrongFocus);
    a->SetTabStop(false);
    EXPECT_EQ(a->Widget()->focusPolicy(), Qt::NoFocus);
}

TEST_F(Controls, LabelShowsCarriageReturnsAsLineBreaks) {
    struct Case {
        String text;
        String shown;
    } cases[] = {
        {"one\rtwo", "one\ntwo"},
        {"a\r\rb", "a\n\nb"},        // an empty line between
        {"a\r\nb", "a\nb"},          // CR LF is one break
        {"a\nb", "a\nb"},
        {"no break", "no break"},
        {"", ""},
    };
    Ref<Label> l = Make<Label>();
    for (const Case& c : cases) {
        SetByName(*l, "Text", c.text);
        EXPECT_EQ(l->Text(), c.text);  // the value keeps its carriage returns
        EXPECT_EQ(l->LabelWidget()->text(), c.shown);
    }
    EXPECT_EQ(l->LabelWidget()->textFormat(), Qt::PlainText);
}

TEST_F(Controls, LabelStyleValuesMapOntoQt) {
    Ref<Label> l = Make<Label>();
    SetByName(*l, "TextColor", Color{0x0000FF});
    SetByName(*l, "TextAlign", int64_t{1});
    SetByName(*l, "Multiline", true);
    SetByName(*l, "Transparent", false);
    SetByName(*l, "TextFont", String("System"));
    SetByName(*l, "TextSize", 11.0f);
    SetByName(*l, "Bold", true);
    QLabel* w = l->LabelWidget();
    EXPECT_EQ(w->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_TRUE(w->alignment() & Qt::AlignLeft);
    EXPECT_TRUE(w->wordWrap());
    EXPECT_TRUE(w->autoFillBackground());
    // 11 points of the design: 11 logical pixels, whatever the screen's dpi.
    EXPECT_EQ(QFontInfo(w->font()).pixelSize(), 11);
    EXPECT_EQ(w->font().family(), QApplication::font().family());
    EXPECT_TRUE(w->font().bold());
    EXPECT_EQ(w->textInteractionFlags(), Qt::NoTextInteraction);

    // Size 0 is the desktop's size; "Multiline" off stops wrapping.
    Ref<Label> caption = Make<Label>();
    SetByName(*caption, "TextSize", 0.0f);
    SetByName(*caption, "Transparent", true);
    SetByName(*caption, "MULTILINE", false);
    EXPECT_EQ(caption->LabelWidget()->font().pointSizeF(), QApplication::font().pointSizeF());
    EXPECT_FALSE(caption->LabelWidget()->autoFillBackground());
    EXPECT_FALSE(caption->LabelWidget()->wordWrap());
    SetByName(*caption, "TextAlign", int64_t{3});
    EXPECT_TRUE(caption->LabelWidget()->alignment() & Qt::AlignRight);
}

TEST_F(Controls, LabelMouseDownCallsTheHandlerWithThePoint) {
    Ref<Label> l = Make<Label>();
    l->SetWidth(100);
    l->SetHeight(20);
    // With no handler nothing happens.
    EXPECT_FALSE(l->RaiseMouseDown(1, 1));
    RuntimeAddEventHandler(Ref<Object>(l), "MouseDown",
                           RuntimeCreateDelegate(&Probe::MouseDown, probe_.get(),
                                                 "( Label, Integer, Integer ) as Boolean", 1));
    Ref<Delegate> d = l->EventHandler("MouseDown");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Signature(), "( Label, Integer, Integer ) as Boolean");
    EXPECT_EQ(d->Flag(), 1);

    QMouseEvent press(QEvent::MouseButtonPress, QPointF(7, 3), QPointF(7, 3), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(l->Widget(), &press);
    EXPECT_EQ(probe_->lastLabel, l.get());
    EXPECT_EQ(probe_->lastX, 7);
    EXPECT_EQ(probe_->lastY, 3);
    EXPECT_EQ(probe_->log.size(), 1u);

    probe_->mouseResult = true;
    EXPECT_TRUE(l->RaiseMouseDown(2, 4));
    // The label's text and colour stay as they were.
    EXPECT_EQ(l->Text(), "");
}

TEST_F(Controls, ADelegateWithoutTargetIsReportedNotCalled) {
    Ref<Label> l = Make<Label>();
    RuntimeAddEventHandler(Ref<Object>(l), "MouseDown",
                           RuntimeCreateDelegate(&Probe::MouseDown, nullptr,
                                                 "( Label, Integer, Integer ) as Boolean", 1));
    EXPECT_FALSE(l->RaiseMouseDown(1, 1));  // reported on stderr; the event goes on
    EXPECT_EQ(probe_->lastLabel, nullptr);
}

TEST_F(Controls, AddingRowsSelectsNothingAndRaisesNoChange) {
    Ref<PopupMenu> p = PopupWithChange();
    EXPECT_EQ(p->ListIndex(), -1);
    for (const char* text : {"Every 4 seconds", "Every 9 seconds", "Every 14 seconds"}) p->AddRow(text);
    EXPECT_EQ(p->ListCount(), 3);
    EXPECT_EQ(p->ListIndex(), -1);
    EXPECT_EQ(p->ComboBox()->currentIndex(), -1);  // the combo box's own pick is undone
    EXPECT_EQ(p->ComboBox()->count(), 3);
    EXPECT_EQ(p->List(2), "Every 14 seconds");
    EXPECT_TRUE(probe_->changes.empty());
    // Tags start nil and are kept per row.
    EXPECT_FALSE(p->RowTag(0));
    p->SetRowTag(1, Int64ToVariant(9000));
    EXPECT_EQ(VariantToInt64(p->RowTag(1)), 9000);
    EXPECT_TRUE(probe_->changes.empty());
}

TEST_F(Controls, DesignListIndexOnAnEmptyPopupSelectsNothing) {
    Ref<PopupMenu> p = PopupWithChange();
    SetByName(*p, "ListIndex", int64_t{0});
    EXPECT_EQ(p->ListIndex(), -1);
    EXPECT_TRUE(probe_->changes.empty());
    p->AddRow("a");
    EXPECT_EQ(p->ListIndex(), -1);
    // On a popup that has the row, the design value selects it.
    SetByName(*p, "listindex", int64_t{0});
    EXPECT_EQ(p->ListIndex(), 0);
}

TEST_F(Controls, SettingListIndexRaisesChangeBeforeTheSetterReturns) {
    Ref<PopupMenu> p = PopupWithChange();
    for (int i = 0; i < 7; ++i) p->AddRow(QString("row %1").arg(i));
    probe_->onChange = [&](PopupMenu* popup) {
        // Inside Change the new selection is already in place.
        EXPECT_EQ(popup, p.get());
        EXPECT_EQ(popup->ComboBox()->currentIndex(), popup->ListIndex());
    };
    p->SetListIndex(5);
    ASSERT_EQ(probe_->changes, std::vector<int64_t>{5});
    p->SetListIndex(5);  // the same row again: no change, no event
    EXPECT_EQ(probe_->changes.size(), 1u);
    p->SetListIndex(0);  // row 0 is a selection like any other
    p->SetListIndex(-1);  // selecting none is a change too
    EXPECT_EQ(probe_->changes, (std::vector<int64_t>{5, 0, -1}));
    EXPECT_EQ(p->ComboBox()->currentIndex(), -1);
    EXPECT_THROW(p->SetListIndex(7), OutOfBoundsException);
    EXPECT_THROW(p->RowTag(7), OutOfBoundsException);
    EXPECT_THROW(p->SetRowTag(-1, nullptr), OutOfBoundsException);
    EXPECT_EQ(p->ListIndex(), -1);
    EXPECT_EQ(probe_->changes.size(), 3u);
}

TEST_F(Controls, AnExceptionInChangePassesOutOfTheSetterWithTheRowSelected) {
    Ref<PopupMenu> p = PopupWithChange();
    p->AddRow("a");
    p->AddRow("b");
    probe_->onChange = [](PopupMenu*) { throw NilObjectException(); };
    EXPECT_THROW(p->SetListIndex(1), NilObjectException);
    EXPECT_EQ(p->ListIndex(), 1);
}

TEST_F(Controls, AUsersChoiceRaisesChangeOnceAndReportsItsException) {
    Ref<PopupMenu> p = PopupWithChange();
    p->AddRow("a");
    p->AddRow("b");
    p->AddRow("c");
    p->ComboBox()->setCurrentIndex(2);  // as the user's pick arrives
    EXPECT_EQ(p->ListIndex(), 2);
    EXPECT_EQ(probe_->changes, std::vector<int64_t>{2});
    // From the event loop an exception is reported and goes no further.
    probe_->onChange = [](PopupMenu*) { throw NilObjectException(); };
    EXPECT_NO_THROW(p->ComboBox()->setCurrentIndex(0));
    EXPECT_EQ(p->ListIndex(), 0);
    EXPECT_EQ(probe_->changes, (std::vector<int64_t>{2, 0}));
}

TEST_F(Controls, OpenHandlersGetTheirControlsOwnClass) {
    Ref<PopupMenu> p = PopupWithChange();
    RuntimeAddEventHandler(Ref<Object>(p), "Open",
                           RuntimeCreateDelegate(&Probe::Open, probe_.get(), "( PopupMenu )", 1));
    p->RaiseOpen();
    EXPECT_EQ(probe_->log, std::vector<std::string>{"open"});
    EXPECT_EQ(p->ListCount(), 1);
    EXPECT_EQ(p->ListIndex(), -1);
}

TEST_F(Controls, CanvasDrawsItsBackdrop) {
    Ref<Canvas> c = Make<Canvas>();
    c->SetWidth(16);
    c->SetHeight(16);
    QImage red(8, 8, QImage::Format_ARGB32);
    red.fill(QColor(255, 0, 0));
    Ref<Picture> pic(new Picture(red));
    SetByName(*c, "Backdrop", Ref<Object>(pic));
    EXPECT_EQ(c->Backdrop(), pic);
    SetByName(*c, "Transparent", false);
    QImage shot = c->Widget()->grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(2, 2)), QColor(255, 0, 0));       // the picture, at the top left
    EXPECT_NE(QColor(shot.pixel(12, 12)), QColor(255, 0, 0));     // unscaled
    c->SetBackdrop(nullptr);
    shot = c->Widget()->grab().toImage();
    EXPECT_NE(QColor(shot.pixel(2, 2)), QColor(255, 0, 0));
    // Only pictures go in.
    EXPECT_THROW(SetByName(*c, "Backdrop", Ref<Object>(Int64ToVariant(1))), IllegalCastException);
}

TEST_F(Controls, CanvasDrawsTheDoubleResolutionPictureAboveOneDevicePixelPerPoint) {
    // An 8-point picture: red at one device pixel per point; its 16-pixel
    // version has a pattern that pixel-doubling the red one cannot give.
    QImage red(8, 8, QImage::Format_ARGB32);
    red.fill(QColor(255, 0, 0));
    QImage stripes(16, 16, QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) stripes.setPixel(x, y, x % 2 ? qRgb(0, 0, 255) : qRgb(0, 255, 0));
    Ref<Canvas> c = Make<Canvas>();
    c->SetWidth(16);
    c->SetHeight(16);
    SetByName(*c, "Transparent", false);

    auto draw = [&](const Ref<Picture>& pic, qreal ratio) {
        c->SetBackdrop(pic);
        const int side = qRound(16 * ratio);
        QImage shot(side, side, QImage::Format_ARGB32);
        shot.setDevicePixelRatio(ratio);
        shot.fill(Qt::white);
        c->Widget()->render(&shot);
        return shot;
    };
    Ref<Picture> both(new Picture(red, stripes));
    QImage at1 = draw(both, 1.0);
    EXPECT_EQ(QColor(at1.pixel(3, 3)), QColor(255, 0, 0));
    EXPECT_NE(QColor(at1.pixel(12, 12)), QColor(255, 0, 0));  // 8 points, not 16
    QImage at2 = draw(both, 2.0);
    for (int x = 0; x < 16; ++x)  // each device pixel from the 16-pixel version
        EXPECT_EQ(at2.pixel(x, 5), stripes.pixel(x, 5)) << x;
    EXPECT_NE(QColor(at2.pixel(24, 24)), QColor(0, 0, 255));  // still 8 points
    EXPECT_NE(QColor(at2.pixel(24, 24)), QColor(0, 255, 0));
    QImage at15 = draw(both, 1.5);
    const QColor mid(at15.pixel(5, 5));
    EXPECT_EQ(mid.red(), 0) << "drawn from the 16-pixel version, scaled down";
    EXPECT_GT(mid.green() + mid.blue(), 0);

    // Without a double-resolution version the picture itself is scaled up.
    QImage only = draw(Ref<Picture>(new Picture(red)), 2.0);
    EXPECT_EQ(QColor(only.pixel(5, 5)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(only.pixel(15, 15)), QColor(255, 0, 0));
}

TEST_F(Controls, UserInterfaceOperationsCheckTheThread) {
    Ref<PopupMenu> p = Make<PopupMenu>();
    p->AddRow("a");
    Ref<Canvas> c = Make<Canvas>();
    Ref<Label> fresh = RuntimeCheckCast<Label>(RuntimeNewObject(Label::Class()));
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"Constructor", [&] { fresh->Constructor(); }},
        {"AddRow", [&] { p->AddRow("b"); }},
        {"ListCount", [&] { (void)p->ListCount(); }},
        {"RowTag", [&] { (void)p->RowTag(0); }},
        {"SetRowTag", [&] { p->SetRowTag(0, Int64ToVariant(1)); }},
        {"ListIndex", [&] { (void)p->ListIndex(); }},
        {"SetListIndex", [&] { p->SetListIndex(0); }},
        {"SetBackdrop", [&] { c->SetBackdrop(nullptr); }},
        {"Backdrop", [&] { (void)c->Backdrop(); }},
    };
    for (const auto& [name, op] : ops) {
        std::string caught;
        std::thread t([&] {
            try {
                op();
            } catch (const ThreadAccessingUIException& e) {
                caught = e.what();
            }
        });
        t.join();
        EXPECT_EQ(caught, ThreadAccessingUIException::kMessage) << name;
    }
    // Nothing was done by the refused calls.
    EXPECT_EQ(fresh->Widget(), nullptr);
    EXPECT_EQ(p->ListCount(), 1);
    EXPECT_EQ(p->ListIndex(), -1);
    EXPECT_FALSE(p->RowTag(0));
}

TEST_F(Controls, SeparatorComesFromTheExtraControlsPlugin) {
    InitPluginEntrypoints();
    EXPECT_TRUE(PluginIsBound(kExtraControlsPlugin));
    Ref<Separator> s = Make<Separator>();
    EXPECT_NE(qobject_cast<QFrame*>(s->Widget()), nullptr);
}

TEST_F(Controls, ReleasingTheControlTakesItsWidgetAway) {
    Ref<Label> l = Make<Label>();
    QPointer<QWidget> w = l->Widget();
    l = nullptr;
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(w);
}
