#include "RectControl.h"

#include "Window.h"

#include <QWidget>

#include <algorithm>

namespace {

constexpr const char* kTabIndexProperty = "kestruneTabIndex";

int Clamp(int64_t v) {
    return static_cast<int>(std::clamp<int64_t>(v, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

}  // namespace

RectControl::RectControl() = default;

RectControl::~RectControl() {
    // The widget may be inside the event that released the control; let the
    // event loop delete it.
    if (widget_) {
        widget_->hide();
        widget_->deleteLater();
    }
}

const ClassInfo& RectControl::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "RectControl";
        c.base = &Control::Class();
        c.virtualOps = {"Constructor"};
        c.events = {"Open", "Close"};
        auto& p = c.properties;
        p.push_back(MakeProperty<RectControl, int64_t>("Left", &RectControl::SetLeft, &RectControl::Left));
        p.push_back(MakeProperty<RectControl, int64_t>("Top", &RectControl::SetTop, &RectControl::Top));
        p.push_back(MakeProperty<RectControl, int64_t>("Width", &RectControl::SetWidth, &RectControl::Width));
        p.push_back(MakeProperty<RectControl, int64_t>("Height", &RectControl::SetHeight, &RectControl::Height));
        p.push_back(MakeFieldProperty("LockLeft", &RectControl::lockLeft));
        p.push_back(MakeFieldProperty("LockTop", &RectControl::lockTop));
        p.push_back(MakeFieldProperty("LockRight", &RectControl::lockRight));
        p.push_back(MakeFieldProperty("LockBottom", &RectControl::lockBottom));
        p.push_back(MakeProperty<RectControl, int64_t>("TabIndex", &RectControl::SetTabIndex, &RectControl::TabIndex));
        p.push_back(MakeProperty<RectControl, bool>("TabStop", &RectControl::SetTabStop, &RectControl::TabStop));
        p.push_back(MakeProperty<RectControl, bool>("Enabled", &RectControl::SetEnabled, &RectControl::Enabled));
        p.push_back(MakeProperty<RectControl, bool>("Visible", &RectControl::SetVisible, &RectControl::Visible));
        p.push_back(MakeProperty<RectControl, String>("HelpTag", &RectControl::SetHelpTag, &RectControl::HelpTag));
        p.push_back(MakeFieldProperty("InitialParent", &RectControl::initialParent));
        p.push_back(MakeFieldProperty("AutoDeactivate", &RectControl::autoDeactivate));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

void RectControl::Constructor() {
    CheckMainThread();
    if (widget_) return;
    QWidget* parent = host_.data();
    if (!parent && Owner()) parent = Owner()->ContentWidget();
    widget_ = CreateWidget(parent);
    ApplyToWidget();
}

void RectControl::ApplyToWidget() {
    QWidget* w = widget_.data();
    if (!w) return;
    UpdateGeometry();
    w->setEnabled(enabled_);
    w->setToolTip(helpTag_);
    UpdateFocusPolicy();
    w->setProperty(kTabIndexProperty, QVariant::fromValue<qlonglong>(tabIndex_));
    if (w->parentWidget()) {
        ApplyTabOrder(w->parentWidget());
        // A child stays hidden until asked to show; without a parent, showing
        // it would open a window of its own.
        w->setVisible(visible_);
    }
}

void RectControl::UpdateGeometry() {
    if (!widget_) return;
    widget_->setGeometry(Clamp(left_), Clamp(top_), Clamp(std::max<int64_t>(width_, 0)),
                         Clamp(std::max<int64_t>(height_, 0)));
    GeometryChanged();
}

void RectControl::UpdateFocusPolicy() {
    if (widget_) widget_->setFocusPolicy(tabStop_ && TakesFocus() ? Qt::StrongFocus : Qt::NoFocus);
}

void RectControl::SetLeft(int64_t v) { left_ = v; UpdateGeometry(); }
void RectControl::SetTop(int64_t v) { top_ = v; UpdateGeometry(); }
void RectControl::SetWidth(int64_t v) { width_ = v; UpdateGeometry(); }
void RectControl::SetHeight(int64_t v) { height_ = v; UpdateGeometry(); }

void RectControl::SetTabIndex(int64_t v) {
    tabIndex_ = v;
    if (!widget_) return;
    widget_->setProperty(kTabIndexProperty, QVariant::fromValue<qlonglong>(v));
    if (widget_->parentWidget()) ApplyTabOrder(widget_->parentWidget());
}

void RectControl::SetTabStop(bool on) { tabStop_ = on; UpdateFocusPolicy(); }

void RectControl::SetEnabled(bool on) {
    enabled_ = on;
    if (widget_) widget_->setEnabled(on);
}

void RectControl::SetVisible(bool on) {
    visible_ = on;
    if (widget_ && widget_->parentWidget()) widget_->setVisible(on);
}

void RectControl::SetHelpTag(const String& text) {
    helpTag_ = text;
    if (widget_) widget_->setToolTip(text);
}

void ApplyTabOrder(QWidget* container) {
    if (!container) return;
    std::vector<QWidget*> chain;
    for (QObject* child : container->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && w->property(kTabIndexProperty).isValid()) chain.push_back(w);
    }
    std::stable_sort(chain.begin(), chain.end(), [](QWidget* a, QWidget* b) {
        return a->property(kTabIndexProperty).toLongLong() < b->property(kTabIndexProperty).toLongLong();
    });
    for (size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}
