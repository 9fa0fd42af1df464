#include "Window.h"

#include "RectControl.h"
#include "Runtime.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenuBar>
#include <QPalette>
#include <QPointer>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>

namespace {

// The windows the framework holds: constructed and not yet closed. Never
// destroyed, so that nothing of Qt is touched after it shut down.
std::vector<Ref<Window>>& OpenWindows() {
    static auto* list = new std::vector<Ref<Window>>;
    return *list;
}

// The content area: its size hint is the window's Width and Height.
class ContentArea : public QWidget {
public:
    explicit ContentArea(QWidget* parent) : QWidget(parent) {}
    QSize hint{100, 100};
    QSize sizeHint() const override { return hint; }
};

}  // namespace

// The Qt top-level widget of a Window.
class WindowWidget : public QWidget {
public:
    explicit WindowWidget(Window* owner) : owner_(owner) {}
    Window* owner_;

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        // The window may die in HandleClosed (its last reference was the
        // framework's); nothing of it is touched afterwards.
        if (Window* w = std::exchange(owner_, nullptr)) w->HandleClosed();
    }
};

struct Window::Impl {
    QPointer<WindowWidget> top;
    ContentArea* content = nullptr;
    QVBoxLayout* layout = nullptr;
    QPointer<QMenuBar> qbar;
    Ref<::MenuBar> bar;
    std::vector<std::pair<String, Ref<Control>>> controls;
    bool constructed = false;
    bool closed = false;

    String title;
    int64_t width = 300, height = 300;
    int64_t minWidth = 64, minHeight = 64, maxWidth = 32000, maxHeight = 32000;
    int64_t frame = 0, macProcId = 0, placement = 0;
    bool closeButton = true, resizeable = true, maximizeButton = true, minimizeButton = true;
    bool fullScreenButton = false, composite = false, visible = false, liveResize = true;
    bool fullScreen = false, hasBackColor = false, menuBarVisible = true;
    Color backColor{0xFFFFFF};

    static int Clamp(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, QWIDGETSIZE_MAX)); }

    void ApplySize() {
        if (!content) return;
        const QSize size(Clamp(width), Clamp(height));
        content->hint = size;
        if (!resizeable) {
            content->setFixedSize(size);
            layout->setSizeConstraint(QLayout::SetFixedSize);
        } else {
            content->setMinimumSize(Clamp(minWidth), Clamp(minHeight));
            content->setMaximumSize(Clamp(maxWidth), Clamp(maxHeight));
            layout->setSizeConstraint(QLayout::SetDefaultConstraint);
            content->updateGeometry();
        }
        layout->activate();
        if (resizeable) top->resize(top->sizeHint());
    }

    void ApplyFlags() {
        if (!top) return;
        Qt::WindowFlags f = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
        if (closeButton) f |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (minimizeButton) f |= Qt::WindowMinimizeButtonHint;
        if (maximizeButton && resizeable) f |= Qt::WindowMaximizeButtonHint;
        if (fullScreenButton) f |= Qt::WindowFullscreenButtonHint;
        if (top->windowFlags() == f) return;
        const bool shown = top->isVisible();
        top->setWindowFlags(f);  // hides a visible window
        if (shown) top->show();
    }

    void ApplyBackColor() {
        if (!content) return;
        content->setAutoFillBackground(hasBackColor);
        if (!hasBackColor) {
            content->setPalette(QPalette());  // the inherited one
            return;
        }
        QPalette pal = content->palette();
        pal.setColor(QPalette::Window, QColor(backColor.Red(), backColor.Green(), backColor.Blue()));
        content->setPalette(pal);
    }

    void ApplyMenuBar() {
        if (!top) return;
        if (qbar) {
            layout->setMenuBar(nullptr);
            qbar->hide();
            qbar->deleteLater();
            qbar = nullptr;
        }
        if (bar) {
            qbar = BuildQtMenuBar(bar, top);
            layout->setMenuBar(qbar);
            qbar->setVisible(menuBarVisible);
        }
        layout->activate();
    }

    void ApplyVisible() {
        if (!top || closed) return;
        if (!visible) {
            top->hide();
            return;
        }
        if (fullScreen)
            top->showFullScreen();
        else
            top->show();
        top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
        top->raise();
        top->activateWindow();
    }

    void ApplyAll() {
        top->setWindowTitle(title);
        ApplyFlags();
        ApplySize();
        ApplyBackColor();
        ApplyMenuBar();
        if (visible) ApplyVisible();
    }
};

Window::Window() : d_(new Impl) {}

Window::~Window() {
    // Controls first: their widgets live inside the window's.
    d_->controls.clear();
    if (WindowWidget* top = d_->top.data()) {
        top->owner_ = nullptr;
        // The widget may be in the middle of its own event (the close
        // button), so it goes once control returns to the event loop.
        if (QCoreApplication::instance()) {
            top->hide();
            top->deleteLater();
        }
    }
    delete d_;
}

void Window::Constructor() {
    CheckMainThread();
    if (d_->constructed) return;
    d_->constructed = true;
    Ref<Window> self(this);

    auto* top = new WindowWidget(this);
    top->setAttribute(Qt::WA_QuitOnClose, false);
    d_->top = top;
    d_->layout = new QVBoxLayout(top);
    d_->layout->setContentsMargins(0, 0, 0, 0);
    d_->layout->setSpacing(0);
    d_->content = new ContentArea(top);
    d_->layout->addWidget(d_->content);
    d_->ApplyAll();

    OpenWindows().push_back(self);

    RuntimeRaiseClassEvent(*this, "CreateControls");
    RuntimeRaiseClassEvent(*this, "Layout");
    const auto controls = d_->controls;
    for (const auto& entry : controls) entry.second->RaiseOpen();
    RuntimeRaiseClassEvent(*this, "Open");
}

void Window::HandleClosed() {
    if (d_->closed) return;
    d_->closed = true;
    d_->visible = false;
    // A closed window raises no more control events. Its controls' handlers
    // hold the window (their target), so they go first, or the window and
    // its controls would keep each other alive.
    for (const auto& entry : d_->controls) entry.second->RemoveEventHandlers();
    auto& list = OpenWindows();
    auto it = std::find_if(list.begin(), list.end(), [this](const Ref<Window>& w) { return w.get() == this; });
    if (it == list.end()) return;
    Ref<Window> last = std::move(*it);
    list.erase(it);
    // `last` may hold the final reference: the window dies here.
}

Ref<Object> Window::New(const ClassInfo& cls) {
    Ref<Object> obj = RuntimeNewObject(cls);
    if (auto* control = dynamic_cast<Control*>(obj.get())) {
        control->SetOwner(this);
        // Its widget goes into the content area.
        if (auto* rect = dynamic_cast<RectControl*>(control)) rect->SetHostWidget(d_->content);
    }
    return obj;
}

void Window::AddControl(const String& name, const Ref<Control>& control) {
    CheckMainThread();
    Control& c = *control;  // nil raises
    if (!c.Owner()) c.SetOwner(this);
    d_->controls.emplace_back(name, control);
}

Ref<Object> Window::ControlByName(const String& name) const {
    for (const auto& [n, c] : d_->controls)
        if (n == name) return c;
    return nullptr;
}

void Window::Show() {
    CheckMainThread();
    if (d_->closed) return;
    d_->visible = true;
    d_->ApplyVisible();
}

void Window::Hide() {
    CheckMainThread();
    d_->visible = false;
    d_->ApplyVisible();
}

void Window::Close() {
    CheckMainThread();
    Ref<Window> self(this);
    if (d_->top && d_->top->owner_) {
        d_->top->close();
        return;
    }
    HandleClosed();
}

void Window::SetTitle(const String& title) {
    CheckMainThread();
    d_->title = title;
    if (d_->top) d_->top->setWindowTitle(title);
}

String Window::Title() const {
    CheckMainThread();
    return d_->title;
}

void Window::SetMenuBar(const Ref<::MenuBar>& bar) {
    CheckMainThread();
    d_->bar = bar;
    d_->ApplyMenuBar();
}

Ref<::MenuBar> Window::MenuBar() const {
    CheckMainThread();
    return d_->bar;
}

#define KESTRUNE_WINDOW_VALUE(Type, Name, field, apply)  \
    void Window::Set##Name(Type v) {                     \
        CheckMainThread();                               \
        d_->field = v;                                   \
        apply;                                           \
    }                                                    \
    Type Window::Name() const { return d_->field; }

KESTRUNE_WINDOW_VALUE(int64_t, Width, width, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, Height, height, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, MinWidth, minWidth, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, MinHeight, minHeight, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, MaxWidth, maxWidth, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, MaxHeight, maxHeight, d_->ApplySize())
KESTRUNE_WINDOW_VALUE(int64_t, Frame, frame, (void)0)
KESTRUNE_WINDOW_VALUE(bool, CloseButton, closeButton, d_->ApplyFlags())
KESTRUNE_WINDOW_VALUE(bool, Resizeable, resizeable, (d_->ApplyFlags(), d_->ApplySize()))
KESTRUNE_WINDOW_VALUE(bool, MaximizeButton, maximizeButton, d_->ApplyFlags())
KESTRUNE_WINDOW_VALUE(bool, MinimizeButton, minimizeButton, d_->ApplyFlags())
KESTRUNE_WINDOW_VALUE(bool, FullScreenButton, fullScreenButton, d_->ApplyFlags())
KESTRUNE_WINDOW_VALUE(bool, Composite, composite, (void)0)
KESTRUNE_WINDOW_VALUE(int64_t, MacProcId, macProcId, (void)0)
KESTRUNE_WINDOW_VALUE(int64_t, Placement, placement, (void)0)
KESTRUNE_WINDOW_VALUE(bool, LiveResize, liveResize, (void)0)
KESTRUNE_WINDOW_VALUE(bool, HasBackColor, hasBackColor, d_->ApplyBackColor())
KESTRUNE_WINDOW_VALUE(Color, BackColor, backColor, d_->ApplyBackColor())

#undef KESTRUNE_WINDOW_VALUE

void Window::SetVisible(bool on) {
    CheckMainThread();
    if (d_->closed) return;
    d_->visible = on;
    d_->ApplyVisible();
}

bool Window::Visible() const { return d_->top ? d_->top->isVisible() : d_->visible; }

void Window::SetFullScreen(bool on) {
    CheckMainThread();
    d_->fullScreen = on;
    if (d_->top && d_->top->isVisible()) {
        if (on)
            d_->top->showFullScreen();
        else if (d_->top->isFullScreen())
            d_->top->showNormal();
    }
}

bool Window::FullScreen() const { return d_->fullScreen; }

void Window::SetMenuBarVisible(bool on) {
    CheckMainThread();
    d_->menuBarVisible = on;
    if (d_->qbar) d_->qbar->setVisible(on);
}

bool Window::MenuBarVisible() const { return d_->menuBarVisible; }

QWidget* Window::Widget() const { return d_->top.data(); }
QWidget* Window::ContentWidget() const { return d_->content; }
bool Window::IsOpen() const { return d_->constructed && !d_->closed; }
const std::vector<std::pair<String, Ref<Control>>>& Window::Controls() const { return d_->controls; }

// ---------------------------------------------------------------------------

const ClassInfo& Window::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Window";
        c.base = &Object::Class();
        c.factory = [] { return new Window; };
        c.virtualOps = {"AcceptFileDrop", "AcceptMacDataDrop", "AcceptPictureDrop", "AcceptRawDataDrop",
                        "AcceptTextDrop", "BitmapForCaching", "Close", "Constructor", "Control", "DrawInto",
                        "FocusNext", "FocusPrevious", "Hide", "Invalidate", "Invalidate", "Maximize", "Minimize",
                        "Operator_Convert", "Refresh", "RefreshRect", "Restore", "SetFocus", "Show", "ShowModal",
                        "ShowModalWithin", "ShowWithin", "TrueWindow", "UpdateNow", "Window", "_AddControl",
                        "_AddMenuHandler", "_ControlByName", "_ControlByNameIndex", "_DependencyList", "_Move",
                        "__New"};
        const std::map<std::string, std::vector<std::string>> signatures = {
            {"Invalidate", {"( Boolean )", "( Integer, Integer, Integer, Integer, Boolean )"}},
            {"Control", {"( Integer ) as Control"}},
            {"_AddControl", {"( String, Control )"}},
            {"_ControlByName", {"( String ) as Object"}},
            {"_ControlByNameIndex", {"( String, Integer ) as Object"}},
            {"__New", {"( ClassInfo ) as Object"}},
            {"TrueWindow", {"(  ) as Window"}},
        };
        std::map<std::string, std::size_t> seen;
        for (const auto& op : c.virtualOps) {
            std::string sig = "(  )";
            if (auto it = signatures.find(op); it != signatures.end()) {
                const std::size_t i = seen[op]++;
                if (i < it->second.size()) sig = it->second[i];
            }
            c.methods.push_back({op, sig, {}});
        }
        c.events = {"Activate", "AddMenuHandlers", "CancelClose", "Close", "ConstructContextualMenu",
                    "ContentsChanged", "ContextualMenuAction", "CreateControls", "Deactivate", "DragEnter",
                    "DragExit", "DragOver", "DropObject", "EnableMenuItems", "KeyDown", "KeyUp", "Layout",
                    "Maximize", "Minimize", "MouseDown", "MouseDrag", "MouseEnter", "MouseExit", "MouseMove",
                    "MouseUp", "MouseWheel", "Moved", "Open", "Paint", "Resized", "Resizing", "Restore",
                    "ScaleFactorChanged", "SetupBindings"};
        auto& p = c.properties;
        p.push_back(MakeProperty<Window, int64_t>("Width", &Window::SetWidth, &Window::Width));
        p.push_back(MakeProperty<Window, int64_t>("Height", &Window::SetHeight, &Window::Height));
        p.push_back(MakeProperty<Window, int64_t>("MinWidth", &Window::SetMinWidth, &Window::MinWidth));
        p.push_back(MakeProperty<Window, int64_t>("MinHeight", &Window::SetMinHeight, &Window::MinHeight));
        p.push_back(MakeProperty<Window, int64_t>("MaxWidth", &Window::SetMaxWidth, &Window::MaxWidth));
        p.push_back(MakeProperty<Window, int64_t>("MaxHeight", &Window::SetMaxHeight, &Window::MaxHeight));
        p.push_back(MakeProperty<Window, int64_t>("Frame", &Window::SetFrame, &Window::Frame));
        p.push_back(MakeProperty<Window, String>("Title", &Window::SetTitle, &Window::Title));
        p.push_back(MakeProperty<Window, bool>("CloseButton", &Window::SetCloseButton, &Window::CloseButton));
        p.push_back(MakeProperty<Window, bool>("Resizeable", &Window::SetResizeable, &Window::Resizeable));
        p.push_back(
            MakeProperty<Window, bool>("MaximizeButton", &Window::SetMaximizeButton, &Window::MaximizeButton));
        p.push_back(
            MakeProperty<Window, bool>("MinimizeButton", &Window::SetMinimizeButton, &Window::MinimizeButton));
        p.push_back(MakeProperty<Window, bool>("FullScreenButton", &Window::SetFullScreenButton,
                                               &Window::FullScreenButton));
        p.push_back(MakeProperty<Window, bool>("Composite", &Window::SetComposite, &Window::Composite));
        p.push_back(MakeProperty<Window, int64_t>("MacProcId", &Window::SetMacProcId, &Window::MacProcId));
        p.push_back(MakeProperty<Window, int64_t>("Placement", &Window::SetPlacement, &Window::Placement));
        p.push_back(MakeProperty<Window, bool>("Visible", &Window::SetVisible, &Window::Visible));
        p.push_back(MakeProperty<Window, bool>("LiveResize", &Window::SetLiveResize, &Window::LiveResize));
        p.push_back(MakeProperty<Window, bool>("FullScreen", &Window::SetFullScreen, &Window::FullScreen));
        p.push_back(MakeProperty<Window, bool>("HasBackColor", &Window::SetHasBackColor, &Window::HasBackColor));
        p.push_back(MakeProperty<Window, Color>("BackColor", &Window::SetBackColor, &Window::BackColor));
        p.push_back(
            MakeProperty<Window, bool>("MenuBarVisible", &Window::SetMenuBarVisible, &Window::MenuBarVisible));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

Ref<Window> GetImplicitWindow(const std::string& className) {
    for (const Ref<Window>& w : OpenWindows())
        if (w->ClassOf().name == className && w->IsOpen()) return w;
    return nullptr;
}

void RuntimeCloseAllWindows() {
    const std::vector<Ref<Window>> open = OpenWindows();
    for (const Ref<Window>& w : open) w->Close();
}
