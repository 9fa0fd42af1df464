#include "Separator.h"

#include "Runtime.h"

#include <QFrame>

namespace {

void BindExtraControls() { (void)Separator::Class(); }

const PluginRegistration g_extraControls(kExtraControlsPlugin, &BindExtraControls);

}  // namespace

Separator::Separator() = default;
Separator::~Separator() = default;

const ClassInfo& Separator::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Separator";
        c.base = &RectControl::Class();
        c.events = {"Open", "Close"};
        c.factory = [] { return new Separator; };
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

QWidget* Separator::CreateWidget(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShadow(QFrame::Sunken);
    line->setFrameShape(QFrame::HLine);
    return line;
}

void Separator::GeometryChanged() {
    if (auto* line = static_cast<QFrame*>(Widget()))
        line->setFrameShape(Height() > Width() ? QFrame::VLine : QFrame::HLine);
}

void Separator::RaiseOpen() { RaiseHandler<void>("Open", this); }
