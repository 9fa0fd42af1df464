// RectControl: a control with a rectangle in its window, shown by one Qt
// widget. Label, Canvas, PopupMenu and Separator derive from it.
#pragma once

#include "Control.h"

#include <QPointer>
#include <QWidget>


class RectControl : public Control {
    KESTRUNE_CLASS()
public:
    RectControl();
    ~RectControl() override;

    // The constructor every rect control inherits (checks the thread): makes
    // the Qt widget inside the window's content widget (or the host widget,
    // when one was given) and shows on it every value set so far. Values set
    // later go to the widget at once.
    virtual void Constructor();

    // The widget that holds this control's widget in place of the owner
    // window's content widget, e.g. for a control that is in no window (set
    // before Constructor).
    void SetHostWidget(QWidget* host) { host_ = host; }

    QWidget* Widget() const override { return widget_.data(); }

    void SetLeft(int64_t v);
    int64_t Left() const { return left_; }
    void SetTop(int64_t v);
    int64_t Top() const { return top_; }
    void SetWidth(int64_t v);
    int64_t Width() const { return width_; }
    void SetHeight(int64_t v);
    int64_t Height() const { return height_; }
    void SetTabIndex(int64_t v);
    int64_t TabIndex() const { return tabIndex_; }
    void SetTabStop(bool on);
    bool TabStop() const { return tabStop_; }
    void SetEnabled(bool on);
    bool Enabled() const { return enabled_; }
    void SetVisible(bool on);
    bool Visible() const { return visible_; }
    void SetHelpTag(const String& text);
    String HelpTag() const { return helpTag_; }

    // Kept as values: the window cannot be resized, so the locks never move
    // a control; there are no nested containers; deactivation is the
    // desktop's.
    bool lockLeft = false;
    bool lockTop = false;
    bool lockRight = false;
    bool lockBottom = false;
    bool autoDeactivate = true;
    String initialParent;

protected:
    // Makes the control's widget with the given parent.
    virtual QWidget* CreateWidget(QWidget* parent) = 0;
    // Shows every stored value on the new widget; subclasses add their own.
    virtual void ApplyToWidget();
    // Whether the widget takes keyboard focus at all (when TabStop allows).
    virtual bool TakesFocus() const { return false; }
    void UpdateFocusPolicy();
    // Called after the widget's box changed.
    virtual void GeometryChanged() {}

private:
    void UpdateGeometry();

    QPointer<QWidget> widget_;
    QPointer<QWidget> host_;
    int64_t left_ = 0;
    int64_t top_ = 0;
    int64_t width_ = 0;
    int64_t height_ = 0;
    int64_t tabIndex_ = 0;
    bool tabStop_ = true;
    bool enabled_ = true;
    bool visible_ = true;
    String helpTag_;
};

// Chains the focus order of the rect controls inside container by their
// TabIndex, lowest first (equal indexes keep their creation order).
void ApplyTabOrder(QWidget* container);
