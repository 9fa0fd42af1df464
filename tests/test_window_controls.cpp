// The main window's controls: the builder, the seven design-value streams,
// the picture resource and the link handlers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Canvas.h"
#include "DesignValues.h"
#include "Label.h"
#include "PopupMenu.h"
#include "Runtime.h"
#include "Separator.h"
#include "Window1.h"
#include "Window1Controls.h"
#include "audio_128x128.h"
#include "UrlCatcher.h"


namespace {

// Reads a stream the way the format describes it, independently of the
// framework's reader: name, blank, a value as wide as the property's type.
struct Decoded {
    std::vector<std::string> names;
    std::map<std::string, PropValue> values;
    size_t consumed = 0;
    bool ok = true;
};

Decoded Decode(const ClassInfo& cls, std::string_view s) {
    Decoded d;
    size_t pos = 0;
    auto take = [&](size_t n) -> uint64_t {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint64_t(uint8_t(s[pos + i])) << (8 * i);
        pos += n;
        return v;
    };
    while (pos < s.size()) {
        const size_t blank = s.find(' ', pos);
        if (blank == std::string_view::npos) { d.ok = false; break; }
        const std::string name(s.substr(pos, blank - pos));
        pos = blank + 1;
        const PropertyInfo* p = cls.FindProperty(name);
        if (!p) { d.ok = false; break; }
        PropValue v;
        switch (p->type) {
            case PropType::Integer: v = int64_t(take(8)); break;
            case PropType::Boolean: v = take(1) != 0; break;
            case PropType::Color: v = Color{uint32_t(take(4))}; break;
            case PropType::FontUnit: v = FontUnits(take(1)); break;
            case PropType::Single: {
                const uint32_t bits = uint32_t(take(4));
                float f;
                std::memcpy(&f, &bits, 4);
                v = f;
                break;
            }
            case PropType::String: {
                const size_t n = take(4);
                v = String::fromUtf8(s.data() + pos, qsizetype(n));
                pos += n;
                break;
            }
            default: d.ok = false; return d;
        }
        if (pos > s.size()) { d.ok = false; break; }
        d.names.push_back(name);
        d.values[name] = v;
    }
    d.consumed = pos;
    return d;
}

const std::vector<std::string> kLabelOrder = {
    "Name", "Index", "Left", "Top", "Width", "Height", "LockLeft", "LockTop", "LockRight", "LockBottom",
    "TabPanelIndex", "TabIndex", "Text", "TextAlign", "TextColor", "Multiline", "Enabled", "Visible",
    "Selectable", "Transparent", "HelpTag", "AutoDeactivate", "TextFont", "TextSize", "TextUnit", "Bold",
    "Italic", "Underline", "DataSource", "DataField", "InitialParent"};
const std::vector<std::string> kCanvasOrder = {
    "Name", "Index", "Left", "Top", "Width", "Height", "LockLeft", "LockTop", "LockRight", "LockBottom",
    "TabPanelIndex", "TabIndex", "TabStop", "Visible", "HelpTag", "AutoDeactivate", "Enabled", "UseFocusRing",
    "AcceptFocus", "AcceptTabs", "DoubleBuffer", "EraseBackground", "Transparent", "InitialParent"};
const std::vector<std::string> kPopupOrder = {
    "Name", "Index", "Left", "Top", "Width", "Height", "LockLeft", "LockTop", "LockRight", "LockBottom",
    "TabPanelIndex", "TabIndex", "TabStop", "Enabled", "InitialValue", "ListIndex", "Visible", "HelpTag",
    "AutoDeactivate", "TextFont", "TextSize", "TextUnit", "Bold", "Italic", "Underline", "DataSource",
    "DataField", "InitialParent"};
const std::vector<std::string> kSeparatorOrder = {
    "Name", "Index", "Left", "Top", "Width", "Height", "LockLeft", "LockTop", "LockRight", "LockBottom",
    "TabPanelIndex", "TabIndex", "TabStop", "InitialParent", "Visible", "HelpTag", "AutoDeactivate", "Enabled"};

const String kLink = "https://kestrune.example/tech-stuff";
const String kDescriptionEnd = "Kestrune is free to use (use at your own risk).";

// Opens "audio_128x128.png" from the source tree, counting the attempts;
// a test may make the next attempts give nil or raise instead.
struct PictureSource {
    enum class Mode { Load, Nil, Raise } mode = Mode::Load;
    int opens = 0;

    void Install() {
        Picture::SetLoaderForTesting([this](const String& name) -> Ref<Picture> {
            ++opens;
            EXPECT_EQ(name, "audio_128x128.png");
            if (mode == Mode::Nil) return nullptr;
            if (mode == Mode::Raise) throw IOException("cannot read audio_128x128.png");
            return Picture::Open(FolderItem(std::string(KESTRUNE_SOURCE_DIR) + "/resources/audio_128x128.png"));
        });
    }
};

class WindowControls : public ::testing::Test {
protected:
    void SetUp() override {
        _x_audio_128x128::pic = nullptr;
        pictures_.Install();
    }
    void TearDown() override {
        CloseOpenWindow();
        Picture::SetLoaderForTesting(nullptr);
        _x_audio_128x128::pic = nullptr;
    }
    static void CloseOpenWindow() {
        if (Ref<Window> w = GetImplicitWindow("Window1.Window1")) w->Close();
    }
    static std::vector<std::string> Names(const Window& w) {
        std::vector<std::string> out;
        for (const auto& [name, control] : w.Controls()) out.push_back(name.toStdString());
        return out;
    }

    PictureSource pictures_;
    UrlCatcher links_;
};

}  // namespace

TEST(Window1ControlStreams, EachIsReadToItsLastByteWithItsRecordCount) {
    struct Case {
        const char* control;
        const ClassInfo* cls;
        size_t records;
        const std::vector<std::string>* order;
    } cases[] = {
        {"Label1", &Label::Class(), 31, &kLabelOrder},        {"Canvas1", &Canvas::Class(), 24, &kCanvasOrder},
        {"Label2", &Label::Class(), 31, &kLabelOrder},        {"PopupMenu1", &PopupMenu::Class(), 28, &kPopupOrder},
        {"Label3", &Label::Class(), 31, &kLabelOrder},        {"Separator1", &Separator::Class(), 18, &kSeparatorOrder},
        {"Separator2", &Separator::Class(), 18, &kSeparatorOrder},
    };
    for (const Case& c : cases) {
        const std::string_view s = Window1ControlDesignValues(c.control);
        ASSERT_FALSE(s.empty()) << c.control;
        EXPECT_EQ(CountDesignRecords(*c.cls, s), c.records) << c.control;
        const Decoded d = Decode(*c.cls, s);
        EXPECT_TRUE(d.ok) << c.control;
        EXPECT_EQ(d.consumed, s.size()) << c.control;
        EXPECT_EQ(d.names, *c.order) << c.control;
        // Common to all seven.
        EXPECT_EQ(std::get<String>(d.values.at("Name")), c.control);
        EXPECT_EQ(std::get<int64_t>(d.values.at("Index")), -2147483648LL) << c.control;
        EXPECT_EQ(std::get<String>(d.values.at("HelpTag")), "") << c.control;
        EXPECT_EQ(std::get<String>(d.values.at("InitialParent")), "") << c.control;
        EXPECT_TRUE(std::get<bool>(d.values.at("Visible"))) << c.control;
        EXPECT_TRUE(std::get<bool>(d.values.at("Enabled"))) << c.control;
        EXPECT_TRUE(std::get<bool>(d.values.at("LockLeft")) && std::get<bool>(d.values.at("LockTop")));
        EXPECT_FALSE(std::get<bool>(d.values.at("LockRight")) || std::get<bool>(d.values.at("LockBottom")));
    }
    EXPECT_TRUE(Window1ControlDesignValues("Label4").empty());

    // The bytes the format fixes.
    const std::string_view link = Window1ControlDesignValues("Label1");
    EXPECT_NE(link.find(std::string_view("Index \x00\x00\x00\x80\xFF\xFF\xFF\xFF", 14)), std::string_view::npos);
    EXPECT_NE(link.find(std::string_view("TextColor \xFF\x00\x00\x00", 14)), std::string_view::npos);
    EXPECT_NE(link.find(std::string_view("TextSize \x00\x00\x30\x41", 13)), std::string_view::npos);
    EXPECT_NE(link.find(std::string_view("HelpTag \x00\x00\x00\x00", 12)), std::string_view::npos);
    EXPECT_NE(Window1ControlDesignValues("Label3").find(std::string_view("TextSize \0\0\0\0", 13)),
              std::string_view::npos);

    // The label texts and the values that differ between the three labels.
    struct LabelCase {
        const char* control;
        int64_t top, height, tabIndex;
        uint32_t color;
        bool multiline, transparent;
        float size;
    } labels[] = {
        {"Label1", 387, 20, 0, 0x0000FF, false, false, 11.0f},
        {"Label2", 154, 141, 2, 0x000000, true, false, 11.0f},
        {"Label3", 307, 20, 4, 0x000000, false, true, 0.0f},
    };
    for (const LabelCase& l : labels) {
        const Decoded d = Decode(Label::Class(), Window1ControlDesignValues(l.control));
        EXPECT_EQ(std::get<int64_t>(d.values.at("Top")), l.top) << l.control;
        EXPECT_EQ(std::get<int64_t>(d.values.at("Height")), l.height) << l.control;
        EXPECT_EQ(std::get<int64_t>(d.values.at("TabIndex")), l.tabIndex) << l.control;
        EXPECT_EQ(std::get<Color>(d.values.at("TextColor")), Color{l.color}) << l.control;
        EXPECT_EQ(std::get<bool>(d.values.at("Multiline")), l.multiline) << l.control;
        EXPECT_EQ(std::get<bool>(d.values.at("Transparent")), l.transparent) << l.control;
        EXPECT_EQ(std::get<float>(d.values.at("TextSize")), l.size) << l.control;
        EXPECT_EQ(std::get<int64_t>(d.values.at("TextAlign")), 1);
        EXPECT_EQ(std::get<String>(d.values.at("TextFont")), "System");
    }
    const auto text = [](const char* control) {
        return std::get<String>(Decode(Label::Class(), Window1ControlDesignValues(control)).values.at("Text"));
    };
    EXPECT_EQ(text("Label1"), kLink);
    EXPECT_EQ(text("Label3"), "Sound card wake up frequency");
    const String description = text("Label2");
    EXPECT_EQ(description.count('\r'), 5);
    EXPECT_EQ(description.count('\n'), 0);
    EXPECT_TRUE(description.endsWith("(use at your own risk)."));
    const QStringList lines = description.split('\r');
    ASSERT_EQ(lines.size(), 6);
    EXPECT_TRUE(lines[0].startsWith("When the Kestrune application is running"));
    EXPECT_TRUE(lines[1].isEmpty());
    EXPECT_TRUE(lines[2].endsWith("you may close this window."));
    EXPECT_EQ(lines[3], "Kestrune can be used as a login item.");
    EXPECT_TRUE(lines[4].isEmpty());
    EXPECT_EQ(lines[5], kDescriptionEnd);
}

TEST_F(WindowControls, BuilderMakesTheSevenControlsInOrderWithTheirValues) {
    Ref<class Window1> w = Window1();
    ASSERT_TRUE(w);
    EXPECT_EQ(Names(*w), (std::vector<std::string>{"Label1", "Canvas1", "Label2", "PopupMenu1", "Label3",
                                                    "Separator1", "Separator2"}));
    struct Case {
        const char* name;
        const char* cls;
        int64_t tabIndex;
        QRect box;
    } cases[] = {
        {"Label1", "Label", 0, QRect(20, 387, 440, 20)},      {"Canvas1", "Canvas", 1, QRect(176, 14, 128, 128)},
        {"Label2", "Label", 2, QRect(20, 154, 440, 141)},     {"PopupMenu1", "PopupMenu", 3, QRect(97, 334, 292, 20)},
        {"Label3", "Label", 4, QRect(20, 307, 440, 20)},      {"Separator1", "Separator", 5, QRect(20, 294, 440, 5)},
        {"Separator2", "Separator", 6, QRect(20, 371, 440, 5)},
    };
    for (const Case& c : cases) {
        Ref<Object> found = w->ControlByName(c.name);
        ASSERT_TRUE(found) << c.name;
        EXPECT_EQ(found->ClassOf().name, c.cls) << c.name;
        Ref<RectControl> rc = RuntimeCheckCast<RectControl>(found);
        EXPECT_EQ(rc->Name(), c.name);
        EXPECT_EQ(rc->Index(), -2147483648LL);
        EXPECT_EQ(rc->TabIndex(), c.tabIndex) << c.name;
        ASSERT_NE(rc->Widget(), nullptr) << c.name;
        EXPECT_EQ(rc->Widget()->parentWidget(), w->ContentWidget()) << c.name;
        EXPECT_EQ(rc->Widget()->geometry(), c.box) << c.name;
        EXPECT_FALSE(rc->Widget()->isHidden()) << c.name;
        EXPECT_TRUE(rc->Enabled() && rc->lockLeft && rc->lockTop && !rc->lockRight && !rc->lockBottom);
    }

    Ref<Label> link = RuntimeCheckCast<Label>(w->ControlByName("Label1"));
    EXPECT_EQ(link->Text(), kLink);
    EXPECT_EQ(link->TextColor(), Color{0x0000FF});
    EXPECT_EQ(link->TextSize(), 11.0f);
    Ref<Label> description = RuntimeCheckCast<Label>(w->ControlByName("Label2"));
    EXPECT_TRUE(description->MultiLine());
    EXPECT_TRUE(description->LabelWidget()->wordWrap());
    EXPECT_EQ(description->LabelWidget()->text().count('\n'), 5);  // shown as line breaks
    // All six lines fit in the description's box, down to the last one.
    const QFontMetrics metrics(description->LabelWidget()->font());
    EXPECT_LE(metrics.boundingRect(QRect(0, 0, 440, 10000), Qt::TextWordWrap, description->LabelWidget()->text())
                  .height(),
              141);
    Ref<Label> caption = RuntimeCheckCast<Label>(w->ControlByName("Label3"));
    EXPECT_EQ(caption->TextSize(), 0.0f);
    EXPECT_TRUE(caption->Transparent());
    Ref<PopupMenu> popup = RuntimeCheckCast<PopupMenu>(w->ControlByName("PopupMenu1"));
    EXPECT_EQ(popup->TextSize(), 0.0f);

    // Handlers: MouseDown on the two link and description labels, Open and
    // Change on the popup, none on the others.
    const std::map<std::string, std::vector<std::string>> handlers = {
        {"Label1", {"MouseDown"}}, {"Label2", {"MouseDown"}}, {"PopupMenu1", {"Open", "Change"}}};
    for (const Case& c : cases) {
        Ref<Control> ctl = RuntimeCheckCast<Control>(w->ControlByName(c.name));
        for (const char* event : {"MouseDown", "Open", "Change"}) {
            const auto it = handlers.find(c.name);
            const bool expected =
                it != handlers.end() && std::find(it->second.begin(), it->second.end(), event) != it->second.end();
            Ref<Delegate> d = ctl->EventHandler(event);
            EXPECT_EQ(bool(d), expected) << c.name << "." << event;
            if (!d) continue;
            EXPECT_EQ(d->Flag(), 1);
            EXPECT_EQ(d->Target().get(), w.get());
            EXPECT_EQ(d->Signature(), std::string(event) == "MouseDown" ? "( Label, Integer, Integer ) as Boolean"
                                                                        : "( PopupMenu )");
        }
    }

    // The picture fills the canvas.
    Ref<Canvas> canvas = RuntimeCheckCast<Canvas>(w->ControlByName("Canvas1"));
    ASSERT_TRUE(canvas->Backdrop());
    EXPECT_EQ(canvas->Backdrop()->Width(), 128);
    EXPECT_EQ(canvas->Backdrop()->Height(), 128);
    EXPECT_TRUE(canvas->Transparent());
}

TEST_F(WindowControls, ThePictureIsOpenedOnceAndSharedByLaterWindows) {
    Ref<class Window1> first = Window1();
    Ref<Picture> shown = RuntimeCheckCast<Canvas>(first->ControlByName("Canvas1"))->Backdrop();
    ASSERT_TRUE(shown);
    EXPECT_EQ(_x_audio_128x128::pic, shown);
    first->Close();
    Ref<class Window1> second = Window1();
    ASSERT_NE(second.get(), first.get());
    EXPECT_EQ(RuntimeCheckCast<Canvas>(second->ControlByName("Canvas1"))->Backdrop(), shown);
    EXPECT_EQ(pictures_.opens, 1);
}

TEST_F(WindowControls, APictureThatOpensAsNilLeavesTheCanvasEmptyAndIsTriedAgain) {
    pictures_.mode = PictureSource::Mode::Nil;
    Ref<class Window1> first = Window1();
    EXPECT_EQ(first->Controls().size(), 7u);  // the builder carries on
    Ref<Canvas> canvas = RuntimeCheckCast<Canvas>(first->ControlByName("Canvas1"));
    EXPECT_FALSE(canvas->Backdrop());
    EXPECT_EQ(canvas->Left(), 176);  // its design values were applied
    EXPECT_FALSE(_x_audio_128x128::pic);
    first->Close();

    pictures_.mode = PictureSource::Mode::Load;
    Ref<class Window1> second = Window1();
    EXPECT_TRUE(RuntimeCheckCast<Canvas>(second->ControlByName("Canvas1"))->Backdrop());
    EXPECT_EQ(pictures_.opens, 2);
}

TEST_F(WindowControls, APictureThatRaisesStopsTheBuilderAfterABareCanvas) {
    pictures_.mode = PictureSource::Mode::Raise;
    Ref<class Window1> first = Window1();  // the exception is reported; the window stands
    ASSERT_TRUE(first);
    EXPECT_EQ(Names(*first), (std::vector<std::string>{"Label1", "Canvas1"}));
    // Label1 is complete, with its handler.
    Ref<Label> link = RuntimeCheckCast<Label>(first->ControlByName("Label1"));
    EXPECT_EQ(link->Text(), kLink);
    EXPECT_TRUE(link->EventHandler("MouseDown"));
    // Canvas1 is constructed and registered, with no picture and no values.
    Ref<Canvas> canvas = RuntimeCheckCast<Canvas>(first->ControlByName("Canvas1"));
    EXPECT_NE(canvas->Widget(), nullptr);
    EXPECT_FALSE(canvas->Backdrop());
    EXPECT_EQ(canvas->Name(), "");
    EXPECT_EQ(canvas->Left(), 0);
    EXPECT_FALSE(first->ControlByName("PopupMenu1"));
    EXPECT_FALSE(_x_audio_128x128::pic);
    first->Close();

    pictures_.mode = PictureSource::Mode::Load;
    Ref<class Window1> second = Window1();
    EXPECT_EQ(second->Controls().size(), 7u);
    EXPECT_EQ(pictures_.opens, 2);
}

TEST_F(WindowControls, TheLinkOpensThePageWithTheFragmentAndReturnsFalse) {
    Ref<class Window1> w = Window1();
    Ref<Label> link = RuntimeCheckCast<Label>(w->ControlByName("Label1"));
    // Pressed by the user: the framework raises MouseDown.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(link->Widget(), &press);
    ASSERT_EQ(links_.opened.size(), 1u);
    EXPECT_EQ(links_.opened[0].toString(), kLink + "#kestrune");
    EXPECT_EQ(links_.opened[0].fragment(), "kestrune");
    // Called directly, it returns False and leaves the label as it was.
    EXPECT_FALSE(w->Label1_MouseDown(link.get(), 0, 0));
    EXPECT_EQ(links_.opened.size(), 2u);
    EXPECT_EQ(link->Text(), kLink);
    EXPECT_EQ(link->TextColor(), Color{0x0000FF});

    // The description does nothing.
    Ref<Label> description = RuntimeCheckCast<Label>(w->ControlByName("Label2"));
    EXPECT_FALSE(description->RaiseMouseDown(3, 3));
    EXPECT_FALSE(w->Label2_MouseDown(description.get(), 3, 3));
    EXPECT_EQ(links_.opened.size(), 2u);
}

TEST_F(WindowControls, AClosedWindowDiesWithItsControls) {
    // The handlers the builder attaches call back into the window; they must
    // not keep a closed window, its controls and its widgets alive.
    QPointer<QWidget> top;
    QPointer<QWidget> popupWidget;
    {
        Ref<class Window1> w = Window1();
        top = w->Widget();
        popupWidget = w->PopupMenu1()->Widget();
    }
    ASSERT_TRUE(top && popupWidget);
    top->close();  // the close button
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(top.isNull());
    EXPECT_TRUE(popupWidget.isNull());
    EXPECT_FALSE(GetImplicitWindow("Window1.Window1"));
}

