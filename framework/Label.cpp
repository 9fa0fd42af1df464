#include "Label.h"

#include <QLabel>
#include <QMouseEvent>

namespace {

class KLabel : public QLabel {
public:
    KLabel(Label* owner, QWidget* parent) : QLabel(parent), owner_(owner) {}
    void Detach() { owner_ = nullptr; }

protected:
    void mousePressEvent(QMouseEvent* e) override {
        QLabel::mousePressEvent(e);
        e->accept();
        if (owner_) {
            const QPoint p = e->position().toPoint();
            owner_->RaiseMouseDown(p.x(), p.y());
        }
    }

private:
    Label* owner_;
};

}  // namespace

Label::Label() = default;

Label::~Label() {
    if (auto* w = static_cast<KLabel*>(LabelWidget())) w->Detach();
}

const ClassInfo& Label::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "Label";
        c.base = &RectControl::Class();
        c.events = {"Open", "Close", "MouseDown", "MouseDrag", "MouseUp"};
        c.factory = [] { return new Label; };
        auto& p = c.properties;
        p.push_back(MakeProperty<Label, String>("Text", &Label::SetText, &Label::Text));
        p.push_back(MakeProperty<Label, int64_t>("TextAlign", &Label::SetTextAlign, &Label::TextAlign));
        p.push_back(MakeProperty<Label, Color>("TextColor", &Label::SetTextColor, &Label::TextColor));
        p.push_back(MakeProperty<Label, bool>("MultiLine", &Label::SetMultiLine, &Label::MultiLine));
        p.push_back(MakeProperty<Label, bool>("Selectable", &Label::SetSelectable, &Label::Selectable));
        p.push_back(MakeProperty<Label, bool>("Transparent", &Label::SetTransparent, &Label::Transparent));
        DeclareFontProperties(p);
        p.push_back(MakeFieldProperty("DataSource", &Label::dataSource));
        p.push_back(MakeFieldProperty("DataField", &Label::dataField));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

QLabel* Label::LabelWidget() const { return static_cast<QLabel*>(Widget()); }

QWidget* Label::CreateWidget(QWidget* parent) {
    auto* w = new KLabel(this, parent);
    w->setTextFormat(Qt::PlainText);
    return w;
}

void Label::ApplyToWidget() {
    RectControl::ApplyToWidget();
    UpdateText();
    UpdateAlignment();
    UpdateColors();
    UpdateFont();
    SetSelectable(selectable_);
    SetMultiLine(multiLine_);
}

String Label::DisplayText(const String& text) {
    String out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QChar('\r'), QChar('\n'));
    return out;
}

void Label::SetText(const String& text) {
    text_ = text;
    UpdateText();
}

void Label::UpdateText() {
    if (QLabel* w = LabelWidget()) w->setText(DisplayText(text_));
}

void Label::SetTextAlign(int64_t align) {
    textAlign_ = align;
    UpdateAlignment();
}

void Label::UpdateAlignment() {
    QLabel* w = LabelWidget();
    if (!w) return;
    Qt::Alignment h = Qt::AlignLeft;
    if (textAlign_ == 2) h = Qt::AlignHCenter;
    else if (textAlign_ == 3) h = Qt::AlignRight;
    w->setAlignment(h | Qt::AlignTop);
}

void Label::SetTextColor(Color c) {
    textColor_ = c;
    UpdateColors();
}

void Label::SetTransparent(bool on) {
    transparent_ = on;
    UpdateColors();
}

void Label::UpdateColors() {
    QLabel* w = LabelWidget();
    if (!w) return;
    QPalette pal = w->palette();
    const QColor color(textColor_.Red(), textColor_.Green(), textColor_.Blue());
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    w->setPalette(pal);
    w->setAutoFillBackground(!transparent_);
}

void Label::SetMultiLine(bool on) {
    multiLine_ = on;
    if (QLabel* w = LabelWidget()) w->setWordWrap(on);
}

void Label::SetSelectable(bool on) {
    selectable_ = on;
    if (QLabel* w = LabelWidget())
        w->setTextInteractionFlags(on ? Qt::TextSelectableByMouse : Qt::NoTextInteraction);
}

bool Label::RaiseMouseDown(int64_t x, int64_t y) { return RaiseHandler<bool>("MouseDown", this, x, y); }

void Label::RaiseOpen() { RaiseHandler<void>("Open", this); }
