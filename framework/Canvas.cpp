#include "Canvas.h"

#include <QPaintEngine>
#include <QPainter>
#include <QWidget>

class CanvasWidget : public QWidget {
public:
    CanvasWidget(Canvas* owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
    void Detach() { owner_ = nullptr; }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!owner_) return;
        QPainter painter(this);
        if (!owner_->transparent_ && owner_->eraseBackground_)
            painter.fillRect(rect(), palette().color(QPalette::Window));
        if (owner_->backdrop_) {
            // The pixel ratio of what is painted on: the window's backing
            // store, or the image a grab or render paints into. At a
            // fractional ratio the double-resolution pixmap is scaled down.
            const QPaintDevice* target = painter.paintEngine()->paintDevice();
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            const qreal ratio = target ? target->devicePixelRatioF() : devicePixelRatioF();
            painter.drawPixmap(0, 0, owner_->backdrop_->Pixmap(ratio));
        }
    }

private:
    Canvas* owner_;
};

Canvas::Canvas() = default;

Canvas::~Canvas() {
    if (auto* w = static_cast<CanvasWidget*>(Widget())) w->Detach();
}

const ClassInfo& Canvas::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Canvas";
        c.base = &RectControl::Class();
        c.events = {"Open", "Close", "Paint", "MouseDown", "MouseDrag", "MouseUp", "KeyDown"};
        c.factory = [] { return new Canvas; };
        auto& p = c.properties;
        PropertyInfo backdrop;
        backdrop.name = "Backdrop";
        backdrop.type = PropType::Object;
        backdrop.typeName = "Picture";
        backdrop.set = [](Object& o, const PropValue& v) {
            static_cast<Canvas&>(o).SetBackdrop(RuntimeCheckCast<Picture>(std::get<Ref<Object>>(v)));
        };
        backdrop.get = [](const Object& o) {
            return PropValue(Ref<Object>(static_cast<const Canvas&>(o).Backdrop()));
        };
        p.push_back(std::move(backdrop));
        p.push_back(MakeFieldProperty("UseFocusRing", &Canvas::useFocusRing));
        p.push_back(MakeProperty<Canvas, bool>("AcceptFocus", &Canvas::SetAcceptFocus, &Canvas::AcceptFocus));
        p.push_back(MakeFieldProperty("AcceptTabs", &Canvas::acceptTabs));
        p.push_back(MakeFieldProperty("DoubleBuffer", &Canvas::doubleBuffer));
        p.push_back(MakeProperty<Canvas, bool>("EraseBackground", &Canvas::SetEraseBackground,
                                               &Canvas::EraseBackground));
        p.push_back(MakeProperty<Canvas, bool>("Transparent", &Canvas::SetTransparent, &Canvas::Transparent));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

QWidget* Canvas::CreateWidget(QWidget* parent) { return new CanvasWidget(this, parent); }

void Canvas::ApplyToWidget() {
    RectControl::ApplyToWidget();
    Repaint();
}

void Canvas::Repaint() {
    if (QWidget* w = Widget()) w->update();
}

void Canvas::SetBackdrop(const Ref<Picture>& picture) {
    CheckMainThread();
    backdrop_ = picture;
    Repaint();
}

Ref<Picture> Canvas::Backdrop() const {
    CheckMainThread();
    return backdrop_;
}

void Canvas::SetTransparent(bool on) {
    transparent_ = on;
    Repaint();
}

void Canvas::SetEraseBackground(bool on) {
    eraseBackground_ = on;
    Repaint();
}

void Canvas::SetAcceptFocus(bool on) {
    acceptFocus_ = on;
    UpdateFocusPolicy();
}

void Canvas::RaiseOpen() { RaiseHandler<void>("Open", this); }
