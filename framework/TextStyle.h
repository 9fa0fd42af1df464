// The font values that text-showing controls share (TextFont, TextSize,
// TextUnit, Bold, Italic, Underline), and the Qt font they make.
#pragma once

#include "Object.h"

#include <QFont>
#include <QWidget>

#include <vector>

struct TextStyle {
    // "System" (or the empty text) is the desktop's font.
    String font = "System";
    // 0 is the desktop's size; otherwise a size in unit (Default = points).
    // A point here is the unit the window designs are laid out in: 1/72 inch
    // on a screen of 72 logical dots per inch, that is one logical pixel, so
    // that a label holds the text its box was made for on any screen (on a
    // 96 dpi desktop, Qt's own 11 points would be a third larger).
    float size = 0.0f;
    FontUnits unit = FontUnits::Default;
    bool bold = false;
    bool italic = false;
    bool underline = false;

    QFont ToQFont() const;
};

// The six font properties of a text-showing control C (a Control whose
// Widget() shows the text), kept in one TextStyle and applied to the widget.
template <class C>
class TextStyled {
public:
    void SetTextFont(const String& v) { style_.font = v; UpdateFont(); }
    String TextFont() const { return style_.font; }
    void SetTextSize(float v) { style_.size = v; UpdateFont(); }
    float TextSize() const { return style_.size; }
    void SetTextUnit(FontUnits v) { style_.unit = v; UpdateFont(); }
    FontUnits TextUnit() const { return style_.unit; }
    void SetBold(bool v) { style_.bold = v; UpdateFont(); }
    bool Bold() const { return style_.bold; }
    void SetItalic(bool v) { style_.italic = v; UpdateFont(); }
    bool Italic() const { return style_.italic; }
    void SetUnderline(bool v) { style_.underline = v; UpdateFont(); }
    bool Underline() const { return style_.underline; }

    // Declares the six properties in C's class table.
    static void DeclareFontProperties(std::vector<PropertyInfo>& p) {
        p.push_back(MakeProperty<C, String>("TextFont", &C::SetTextFont, &C::TextFont));
        p.push_back(MakeProperty<C, float>("TextSize", &C::SetTextSize, &C::TextSize));
        p.push_back(MakeProperty<C, FontUnits>("TextUnit", &C::SetTextUnit, &C::TextUnit));
        p.push_back(MakeProperty<C, bool>("Bold", &C::SetBold, &C::Bold));
        p.push_back(MakeProperty<C, bool>("Italic", &C::SetItalic, &C::Italic));
        p.push_back(MakeProperty<C, bool>("Underline", &C::SetUnderline, &C::Underline));
    }

protected:
    // Gives the widget, once it exists, the font the values make.
    void UpdateFont() {
        if (QWidget* w = static_cast<const C&>(*this).Widget()) w->setFont(style_.ToQFont());
    }

    TextStyle style_;
};
