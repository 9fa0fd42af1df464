// Fuzzes the design-value stream reader: any bytes applied to a window that
// is not made yet and to each kind of control the window holds (label,
// popup menu, canvas, separator). A malformed stream may
// raise the framework's exceptions; nothing may crash, leak or read past the
// stream's end (the input is copied into a buffer of exactly its size so that
// AddressSanitizer sees any overrun).
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "Canvas.h"
#include "DesignValues.h"
#include "Label.h"
#include "PopupMenu.h"
#include "Runtime.h"
#include "Separator.h"
#include "Window.h"

namespace {

QWidget* g_host = nullptr;

template <class T>
Ref<T> MakeControl() {
    Ref<T> c = RuntimeCheckCast<T>(RuntimeNewObject(T::Class()));
    c->SetHostWidget(g_host);
    c->Constructor();
    return c;
}

void Apply(const Ref<Object>& target, std::string_view stream) {
    try {
        SetProperties(target, stream);
    } catch (const RuntimeException&) {
        // A malformed stream, or a value a setter refuses.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    SetMainThread();
    static int argc = 1;
    static char name[] = "fuzz_design_values";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    static QWidget host;
    host.resize(480, 420);
    g_host = &host;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    const std::string_view stream(copy.get(), size);

    try {
        (void)CountDesignRecords(Window::Class(), stream);
    } catch (const RuntimeException&) {
    }
    {
        Ref<Window> w(new Window);
        Apply(Ref<Object>(w), stream);
    }
    Apply(Ref<Object>(MakeControl<Label>()), stream);
    Apply(Ref<Object>(MakeControl<PopupMenu>()), stream);
    Apply(Ref<Object>(MakeControl<Canvas>()), stream);
    Apply(Ref<Object>(MakeControl<Separator>()), stream);
    // A stream that makes the window visible opens it; close what opened.
    RuntimeCloseAllWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
