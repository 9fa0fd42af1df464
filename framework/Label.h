// Label: a text shown in the window (on a QLabel).
#pragma once

#include "RectControl.h"
#include "TextStyle.h"

class QLabel;

class Label : public RectControl, public TextStyled<Label> {
    KESTRUNE_CLASS()
public:
    Label();
    ~Label() override;

    // The text; a carriage return (alone or before a line feed) is a line break.
    void SetText(const String& text);
    String Text() const { return text_; }
    // 0 default (left), 1 left, 2 centre, 3 right.
    void SetTextAlign(int64_t align);
    int64_t TextAlign() const { return textAlign_; }
    void SetTextColor(Color c);
    Color TextColor() const { return textColor_; }
    // Wraps the text at word boundaries to the label's width.
    void SetMultiLine(bool on);
    bool MultiLine() const { return multiLine_; }
    void SetSelectable(bool on);
    bool Selectable() const { return selectable_; }
    // Off: the label fills its box with the window's background colour.
    void SetTransparent(bool on);
    bool Transparent() const { return transparent_; }

    // Kept as values (no database binding here).
    String dataSource;
    String dataField;

    // The text as the widget shows it: line breaks as "\n".
    static String DisplayText(const String& text);

    // Raises MouseDown with the point in the label's coordinates. The
    // handler is a method of the form bool (Label*, int64_t x, int64_t y),
    // signature "( Label, Integer, Integer ) as Boolean"; its result is
    // returned (false when there is none, or it raised: that exception is
    // reported and goes no further).
    bool RaiseMouseDown(int64_t x, int64_t y);
    void RaiseOpen() override;

    QLabel* LabelWidget() const;

protected:
    QWidget* CreateWidget(QWidget* parent) override;
    void ApplyToWidget() override;

private:
    void UpdateText();
    void UpdateAlignment();
    void UpdateColors();

    String text_;
    int64_t textAlign_ = 0;
    Color textColor_{0};
    bool multiLine_ = false;
    bool selectable_ = false;
    bool transparent_ = false;
};
