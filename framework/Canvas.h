// Canvas: a rectangle that shows a picture as its backdrop.
#pragma once

#include "Picture.h"
#include "RectControl.h"

class Canvas : public RectControl {
    KESTRUNE_CLASS()
public:
    Canvas();
    ~Canvas() override;

    // The picture drawn as the canvas's background, at its top left corner
    // and unscaled; nil shows none (checks the thread).
    void SetBackdrop(const Ref<Picture>& picture);
    Ref<Picture> Backdrop() const;

    // Off and EraseBackground on: the canvas fills its box with the window's
    // background colour before drawing the backdrop.
    void SetTransparent(bool on);
    bool Transparent() const { return transparent_; }
    void SetEraseBackground(bool on);
    bool EraseBackground() const { return eraseBackground_; }
    // Whether the canvas takes keyboard focus.
    void SetAcceptFocus(bool on);
    bool AcceptFocus() const { return acceptFocus_; }

    // Kept as values: drawing is always double-buffered, focus shows in the
    // style's own way, and a canvas here handles no keys.
    bool useFocusRing = true;
    bool acceptTabs = false;
    bool doubleBuffer = false;

    void RaiseOpen() override;

protected:
    QWidget* CreateWidget(QWidget* parent) override;
    void ApplyToWidget() override;
    bool TakesFocus() const override { return acceptFocus_; }

private:
    void Repaint();

    Ref<Picture> backdrop_;
    bool transparent_ = false;
    bool eraseBackground_ = true;
    bool acceptFocus_ = false;

    friend class CanvasWidget;
};
