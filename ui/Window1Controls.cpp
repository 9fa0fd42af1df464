// The main window's controls: the control builder with the seven controls'
// design values, the picture resource, the link handlers, the interval
// popup's handlers and the named accessors.
#include "Window1.h"
#include "Window1Controls.h"

#include "App.h"
#include "BackgroundTask.h"
#include "Canvas.h"
#include "DesignValues.h"
#include "Label.h"
#include "PopupMenu.h"
#include "QelModule.h"
#include "Separator.h"
#include "ShowURL.h"
#include "Sound.h"
#include "TextNumbers.h"
#include "Variant.h"
#include "VurivTimer.h"
#include "silent.h"
#include "audio_128x128.h"

#include <array>
#include <string_view>

namespace {

// ---------------------------------------------------------------------------
// Texts.

// Shown by the link label; the handler opens kLinkTarget, the same page at
// the Kestrune section.
constexpr std::string_view kLinkText = "https://kestrune.example/tech-stuff";
constexpr const char* kLinkTarget = "https://kestrune.example/tech-stuff#kestrune";

// Six lines joined by single carriage returns.
constexpr std::string_view kDescription =
    "When the Kestrune application is running it prevents your Macs audio card from going in to sleep "
    "mode. This can cure some audio issues like humming, popping and disturbances that may arise if your "
    "audio card goes to sleep.\r"
    "\r"
    "Kestrune uses hardly any computer resources and is designed to run in the background, you may close "
    "this window.\r"
    "Kestrune can be used as a login item.\r"
    "\r"
    "Kestrune is free to use (use at your own risk).";

constexpr std::string_view kCaption = "Sound card wake up frequency";

constexpr int64_t kNoIndex = -2147483648LL;

constexpr const char* kMouseDownSignature = "( Label, Integer, Integer ) as Boolean";
constexpr const char* kPopupSignature = "( PopupMenu )";

// ---------------------------------------------------------------------------
// Design values, one stream per control, in stream order.

struct LabelValues {
    std::string_view name;
    int64_t top;
    int64_t height;
    int64_t tabIndex;
    std::string_view text;
    uint32_t textColor;
    bool multiline;
    bool transparent;
    float textSize;
};

// The twelve records every control's stream begins with: its name, no
// index, its box, locked to the window's left and top edges, and its place
// in the tab order.
struct ControlBox {
    std::string_view name;
    int64_t left;
    int64_t top;
    int64_t width;
    int64_t height;
    int64_t tabIndex;
};

constexpr std::array<DesignRecord, 12> BoxRecords(const ControlBox& b) {
    return {{
        DesignString("Name", b.name),
        DesignInteger("Index", kNoIndex),
        DesignInteger("Left", b.left),
        DesignInteger("Top", b.top),
        DesignInteger("Width", b.width),
        DesignInteger("Height", b.height),
        DesignBoolean("LockLeft", true),
        DesignBoolean("LockTop", true),
        DesignBoolean("LockRight", false),
        DesignBoolean("LockBottom", false),
        DesignInteger("TabPanelIndex", 0),
        DesignInteger("TabIndex", b.tabIndex),
    }};
}

// The box's records, then the control's own, in stream order.
template <size_t N>
constexpr std::array<DesignRecord, 12 + N> StreamRecords(const ControlBox& b, const DesignRecord (&own)[N]) {
    std::array<DesignRecord, 12 + N> out{};
    const auto box = BoxRecords(b);
    for (size_t i = 0; i < 12; ++i) out[i] = box[i];
    for (size_t i = 0; i < N; ++i) out[12 + i] = own[i];
    return out;
}

constexpr std::array<DesignRecord, 31> LabelRecords(const LabelValues& v) {
    return StreamRecords({v.name, 20, v.top, 440, v.height, v.tabIndex}, {
        DesignString("Text", v.text),
        DesignInteger("TextAlign", 1),
        DesignColor("TextColor", v.textColor),
        DesignBoolean("Multiline", v.multiline),
        DesignBoolean("Enabled", true),
        DesignBoolean("Visible", true),
        DesignBoolean("Selectable", false),
        DesignBoolean("Transparent", v.transparent),
        DesignString("HelpTag", ""),
        DesignBoolean("AutoDeactivate", true),
        DesignString("TextFont", "System"),
        DesignSingle("TextSize", v.textSize),
        DesignFontUnit("TextUnit", 0),
        DesignBoolean("Bold", false),
        DesignBoolean("Italic", false),
        DesignBoolean("Underline", false),
        DesignString("DataSource", ""),
        DesignString("DataField", ""),
        DesignString("InitialParent", ""),
    });
}

constexpr std::array<DesignRecord, 18> SeparatorRecords(std::string_view name, int64_t top, int64_t tabIndex) {
    return StreamRecords({name, 20, top, 440, 5, tabIndex}, {
        DesignBoolean("TabStop", true),
        DesignString("InitialParent", ""),
        DesignBoolean("Visible", true),
        DesignString("HelpTag", ""),
        DesignBoolean("AutoDeactivate", true),
        DesignBoolean("Enabled", true),
    });
}

// The link: blue, one line.
constexpr auto kLabel1Records = LabelRecords({"Label1", 387, 20, 0, kLinkText, 0x0000FF, false, false, 11.0f});
constexpr auto kLabel1Stream = KESTRUNE_DESIGN_STREAM(kLabel1Records);

// The picture, centred: 176 + 64 = 240.
constexpr auto kCanvas1Records = StreamRecords({"Canvas1", 176, 14, 128, 128, 1}, {
    DesignBoolean("TabStop", true),
    DesignBoolean("Visible", true),
    DesignString("HelpTag", ""),
    DesignBoolean("AutoDeactivate", true),
    DesignBoolean("Enabled", true),
    DesignBoolean("UseFocusRing", true),
    DesignBoolean("AcceptFocus", false),
    DesignBoolean("AcceptTabs", false),
    DesignBoolean("DoubleBuffer", false),
    DesignBoolean("EraseBackground", true),
    DesignBoolean("Transparent", true),
    DesignString("InitialParent", ""),
});
constexpr auto kCanvas1Stream = KESTRUNE_DESIGN_STREAM(kCanvas1Records);

// The description: black, wrapped.
constexpr auto kLabel2Records =
    LabelRecords({"Label2", 154, 141, 2, kDescription, 0x000000, true, false, 11.0f});
constexpr auto kLabel2Stream = KESTRUNE_DESIGN_STREAM(kLabel2Records);

// The interval popup: no rows yet, so its ListIndex 0 selects nothing.
constexpr auto kPopupMenu1Records = StreamRecords({"PopupMenu1", 97, 334, 292, 20, 3}, {
    DesignBoolean("TabStop", true),
    DesignBoolean("Enabled", true),
    DesignString("InitialValue", ""),
    DesignInteger("ListIndex", 0),
    DesignBoolean("Visible", true),
    DesignString("HelpTag", ""),
    DesignBoolean("AutoDeactivate", true),
    DesignString("TextFont", "System"),
    DesignSingle("TextSize", 0.0f),
    DesignFontUnit("TextUnit", 0),
    DesignBoolean("Bold", false),
    DesignBoolean("Italic", false),
    DesignBoolean("Underline", false),
    DesignString("DataSource", ""),
    DesignString("DataField", ""),
    DesignString("InitialParent", ""),
});
constexpr auto kPopupMenu1Stream = KESTRUNE_DESIGN_STREAM(kPopupMenu1Records);

// The popup's caption: black, transparent, the system size.
constexpr auto kLabel3Records = LabelRecords({"Label3", 307, 20, 4, kCaption, 0x000000, false, true, 0.0f});
constexpr auto kLabel3Stream = KESTRUNE_DESIGN_STREAM(kLabel3Records);

constexpr auto kSeparator1Records = SeparatorRecords("Separator1", 294, 5);
constexpr auto kSeparator1Stream = KESTRUNE_DESIGN_STREAM(kSeparator1Records);
constexpr auto kSeparator2Records = SeparatorRecords("Separator2", 371, 6);
constexpr auto kSeparator2Stream = KESTRUNE_DESIGN_STREAM(kSeparator2Records);

// ---------------------------------------------------------------------------
// The builder's steps.

// Allocates a control of cls in the window, runs its constructor and
// registers it under name; the window keeps it.
void AddNew(class Window1& w, const ClassInfo& cls, const char* name) {
    Ref<RectControl> control = RuntimeCheckCast<RectControl>(w.New(cls));
    control->Constructor();
    w.AddControl(name, control);
}

template <class T>
Ref<T> Find(class Window1& w, const char* name) {
    return RuntimeCheckCast<T>(w.ControlByName(name));
}

template <class T>
void Apply(class Window1& w, const char* name, std::string_view stream) {
    Ref<T> control = Find<T>(w, name);
    SetProperties(control, stream);
}

// Looks the control up, then makes the delegate that calls handler on the
// window, then attaches it to the control for event, in this order.
template <class T, class Handler>
void Attach(class Window1& w, const char* name, const char* event, Handler handler, const char* signature) {
    Ref<T> control = Find<T>(w, name);
    Ref<Delegate> delegate = RuntimeCreateDelegate(handler, &w, signature, 1);
    RuntimeAddEventHandler(control, event, delegate);
}

// The named accessors' two forms.
template <class T>
Ref<T> ControlNamed(class Window1* window, const char* name) {
    Ref<class Window1> self(window);
    CheckNil(self);
    return RuntimeCheckCast<T>(self->ControlByName(name));
}

template <class T>
Ref<T> MenuItemNamed(class Window1* window, const char* name) {
    Ref<class Window1> self(window);
    Ref<::MenuBar> bar = self.get()->MenuBar();
    return RuntimeCheckCast<T>(Ref<Object>(CheckNil(bar)->Lookup(name)));
}

}  // namespace

std::string_view Window1ControlDesignValues(std::string_view controlName) {
    if (controlName == "Label1") return kLabel1Stream.View();
    if (controlName == "Canvas1") return kCanvas1Stream.View();
    if (controlName == "Label2") return kLabel2Stream.View();
    if (controlName == "PopupMenu1") return kPopupMenu1Stream.View();
    if (controlName == "Label3") return kLabel3Stream.View();
    if (controlName == "Separator1") return kSeparator1Stream.View();
    if (controlName == "Separator2") return kSeparator2Stream.View();
    return {};
}

// ---------------------------------------------------------------------------
// The picture.

namespace _x_audio_128x128 {

Ref<Picture> pic;

Ref<Picture> audio_128x128() {
    if (!pic) pic = Picture::OpenFromApp("audio_128x128.png");
    return pic;
}

}  // namespace _x_audio_128x128

// ---------------------------------------------------------------------------
// The control builder: each control completely, in creation order (which is
// also the tab order), each step starting from a fresh lookup by name.

void Window1::CreateControls0() {
    AddNew(*this, Label::Class(), "Label1");
    Apply<Label>(*this, "Label1", kLabel1Stream);
    Attach<Label>(*this, "Label1", "MouseDown", &Window1::Label1_MouseDown, kMouseDownSignature);

    AddNew(*this, Canvas::Class(), "Canvas1");
    {
        // The picture goes in before the design values.
        Ref<Canvas> canvas = Find<Canvas>(*this, "Canvas1");
        Ref<Picture> picture = _x_audio_128x128::audio_128x128();
        canvas->SetBackdrop(picture);
    }
    Apply<Canvas>(*this, "Canvas1", kCanvas1Stream);

    AddNew(*this, Label::Class(), "Label2");
    Apply<Label>(*this, "Label2", kLabel2Stream);
    Attach<Label>(*this, "Label2", "MouseDown", &Window1::Label2_MouseDown, kMouseDownSignature);

    AddNew(*this, PopupMenu::Class(), "PopupMenu1");
    Apply<PopupMenu>(*this, "PopupMenu1", kPopupMenu1Stream);
    Attach<PopupMenu>(*this, "PopupMenu1", "Open", &Window1::PopupMenu1_Open, kPopupSignature);
    Attach<PopupMenu>(*this, "PopupMenu1", "Change", &Window1::PopupMenu1_Change, kPopupSignature);

    AddNew(*this, Label::Class(), "Label3");
    Apply<Label>(*this, "Label3", kLabel3Stream);

    AddNew(*this, Separator::Class(), "Separator1");
    Apply<Separator>(*this, "Separator1", kSeparator1Stream);

    AddNew(*this, Separator::Class(), "Separator2");
    Apply<Separator>(*this, "Separator2", kSeparator2Stream);
}

// ---------------------------------------------------------------------------
// The link label opens the maker's page; the description does nothing.

bool Window1::Label1_MouseDown(Label*, int64_t, int64_t) {
    ShowURL(kLinkTarget);
    return false;
}

bool Window1::Label2_MouseDown(Label*, int64_t, int64_t) { return false; }

// ---------------------------------------------------------------------------
// The interval popup.

namespace {

// The seven intervals: a row's text and its tag, the interval in
// milliseconds. No row text is ever parsed.
struct IntervalRow {
    const char* text;
    int64_t milliseconds;
};
constexpr IntervalRow kIntervals[] = {
    {"Every 4 seconds", 4000},   {"Every 9 seconds", 9000},   {"Every 14 seconds", 14000},
    {"Every 19 seconds", 19000}, {"Every 24 seconds", 24000}, {"Every 29 seconds", 29000},
    {"Every 59 seconds", 59000},
};

// The row chosen when the stored interval names none ("Every 29 seconds"),
// and the text stored when nothing is.
constexpr int64_t kFallbackRow = 5;
const char* const kDefaultFreq = "29000";
const char* const kFreq = "freq";

constexpr int64_t kTimerRepeats = 2;

}  // namespace

// Fills the popup, plays the silent sound once, gives the application a new
// timer, selects the stored interval (which sets the timer's period through
// Change) and starts the timer.
void Window1::PopupMenu1_Open(PopupMenu* sender) {
    Ref<class Window1> self(this);
    Ref<PopupMenu> popup(sender);

    for (const IntervalRow& row : kIntervals) {
        CheckNil(popup)->AddRow(row.text);
        popup->SetRowTag(popup->ListCount() - 1, Int64ToVariant(row.milliseconds));
    }

    {
        Ref<Sound> sound = silent();
        CheckNil(sound)->Play();
    }

    {
        // The earlier timer, if any, dies with App's reference to it.
        Ref<VurivTimer> timer = RuntimeCheckCast<VurivTimer>(self->New(VurivTimer::Class()));
        Ref<class App> app = App();
        CheckNil(app)->MyVurivTimer = timer;
    }

    if (QelModule::GetPrefsValue(kFreq).isEmpty()) QelModule::SetPrefsValue(kFreq, kDefaultFreq);

    // Truncated, not rounded; a value that does not fit in 64 bits matches
    // no row.
    const int64_t target = DoubleToInt64(Val(QelModule::GetPrefsValue(kFreq)));

    for (int64_t i = 0; i <= CheckNil(popup)->ListCount() - 1; ++i) {
        if (static_cast<double>(target) == Val(VariantToString(popup->RowTag(i)))) popup->SetListIndex(i);
        RuntimeBackgroundTask();
    }

    if (popup->ListIndex() < 0) {
        popup->SetListIndex(kFallbackRow);
        QelModule::SetPrefsValue(kFreq, VariantToString(popup->RowTag(kFallbackRow)));
    }

    Ref<class App> app = App();
    Ref<VurivTimer> timer = CheckNil(app)->MyVurivTimer;
    CheckNil(timer)->SetMode(kTimerRepeats);
}

// The chosen interval becomes the running timer's period and is stored.
void Window1::PopupMenu1_Change(PopupMenu* sender) {
    Ref<PopupMenu> popup(sender);
    if (!(CheckNil(popup)->ListIndex() >= 0)) return;
    {
        Ref<class App> app = App();
        Ref<VurivTimer> timer = CheckNil(app)->MyVurivTimer;
        CheckNil(timer)->SetPeriod(VariantToInt64(popup->RowTag(popup->ListIndex())));
    }
    QelModule::SetPrefsValue(kFreq, Str(VariantToInt64(popup->RowTag(popup->ListIndex())), ""));
}

// ---------------------------------------------------------------------------
// The named accessors.

Ref<Label> Window1::Label1() { return ControlNamed<Label>(this, "Label1"); }
Ref<Canvas> Window1::Canvas1() { return ControlNamed<Canvas>(this, "Canvas1"); }
Ref<Label> Window1::Label2() { return ControlNamed<Label>(this, "Label2"); }
Ref<PopupMenu> Window1::PopupMenu1() { return ControlNamed<PopupMenu>(this, "PopupMenu1"); }
Ref<Label> Window1::Label3() { return ControlNamed<Label>(this, "Label3"); }
Ref<Separator> Window1::Separator1() { return ControlNamed<Separator>(this, "Separator1"); }
Ref<Separator> Window1::Separator2() { return ControlNamed<Separator>(this, "Separator2"); }

Ref<MenuItem> Window1::EditMenu() { return MenuItemNamed<MenuItem>(this, "EditMenu"); }
Ref<MenuItem> Window1::EditSelectAll() { return MenuItemNamed<MenuItem>(this, "EditSelectAll"); }
Ref<MenuItem> Window1::UntitledMenu0() { return MenuItemNamed<MenuItem>(this, "UntitledMenu0"); }
Ref<MenuItem> Window1::EditClear() { return MenuItemNamed<MenuItem>(this, "EditClear"); }
Ref<MenuItem> Window1::EditPaste() { return MenuItemNamed<MenuItem>(this, "EditPaste"); }
Ref<MenuItem> Window1::EditCopy() { return MenuItemNamed<MenuItem>(this, "EditCopy"); }
Ref<MenuItem> Window1::EditCut() { return MenuItemNamed<MenuItem>(this, "EditCut"); }
Ref<MenuItem> Window1::UntitledMenu1() { return MenuItemNamed<MenuItem>(this, "UntitledMenu1"); }
Ref<MenuItem> Window1::EditUndo() { return MenuItemNamed<MenuItem>(this, "EditUndo"); }
Ref<MenuItem> Window1::FileMenu() { return MenuItemNamed<MenuItem>(this, "FileMenu"); }
Ref<AppleMenuItem> Window1::About() { return MenuItemNamed<AppleMenuItem>(this, "About"); }
Ref<QuitMenuItem> Window1::FileQuit() { return MenuItemNamed<QuitMenuItem>(this, "FileQuit"); }
