// PopupMenu: a list of rows of which at most one is selected (on a
// QComboBox). Each row has a text and a tag.
#pragma once

#include "RectControl.h"
#include "TextStyle.h"
#include "Variant.h"

#include <vector>

class QComboBox;

class PopupMenu : public RectControl, public TextStyled<PopupMenu> {
    KESTRUNE_CLASS()
public:
    PopupMenu();
    ~PopupMenu() override;

    // Appends a row with that text and no tag. Selects nothing and raises no
    // Change (checks the thread).
    void AddRow(const String& text);
    // The number of rows (checks the thread).
    int64_t ListCount() const;
    // The text of a row; raises OutOfBoundsException outside 0..ListCount-1.
    String List(int64_t row) const;
    // A row's tag, nil until one is set (checks the thread); raises
    // OutOfBoundsException outside 0..ListCount-1.
    Ref<Variant> RowTag(int64_t row) const;
    void SetRowTag(int64_t row, const Ref<Variant>& tag);

    // The selected row, -1 while none is (checks the thread).
    int64_t ListIndex() const;
    // Selects the row (any negative value selects none). When the selection
    // changes, Change is raised before the setter returns, and an exception
    // its handler raises passes to the caller; setting the selection it
    // already has raises nothing. Raises OutOfBoundsException for a row past
    // the last (checks the thread).
    void SetListIndex(int64_t row);

    // Kept as values: the rows a design names (none here) and the database
    // binding.
    String initialValue;
    String dataSource;
    String dataField;

    // Change: the handler is a method of the form void (PopupMenu*),
    // signature "( PopupMenu )". Open is raised with the popup as well.
    void RaiseOpen() override;

    QComboBox* ComboBox() const;

protected:
    QWidget* CreateWidget(QWidget* parent) override;
    void ApplyToWidget() override;
    bool TakesFocus() const override { return true; }

private:
    struct Row {
        String text;
        Ref<Variant> tag;
    };

    // The design value: names a row that may not exist yet, and then selects
    // nothing.
    void ApplyDesignListIndex(int64_t row);
    // The user picked a row in the widget.
    void UserSelected(int row);
    void SyncWidgetSelection();
    void CheckRow(int64_t row) const;

    std::vector<Row> rows_;
    int64_t listIndex_ = -1;
};
