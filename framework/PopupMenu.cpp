#include "PopupMenu.h"

#include <QComboBox>
#include <QSignalBlocker>

#include <string>

PopupMenu::PopupMenu() = default;
PopupMenu::~PopupMenu() {
    // No signal of the widget may reach this popup any more.
    if (QComboBox* box = ComboBox()) QObject::disconnect(box, nullptr, nullptr, nullptr);
}

const ClassInfo& PopupMenu::Class() {
    static const ClassInfo info = [] {
        ClassInfo c;
        c.name = "PopupMenu";
        c.base = &RectControl::Class();
        c.events = {"Open", "Close", "Change"};
        c.factory = [] { return new PopupMenu; };
        auto& p = c.properties;
        p.push_back(MakeFieldProperty("InitialValue", &PopupMenu::initialValue));
        PropertyInfo listIndex;
        listIndex.name = "ListIndex";
        listIndex.type = PropType::Integer;
        listIndex.set = [](Object& o, const PropValue& v) {
            static_cast<PopupMenu&>(o).ApplyDesignListIndex(std::get<int64_t>(v));
        };
        listIndex.get = [](const Object& o) { return PropValue(static_cast<const PopupMenu&>(o).ListIndex()); };
        p.push_back(std::move(listIndex));
        DeclareFontProperties(p);
        p.push_back(MakeFieldProperty("DataSource", &PopupMenu::dataSource));
        p.push_back(MakeFieldProperty("DataField", &PopupMenu::dataField));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

QComboBox* PopupMenu::ComboBox() const { return static_cast<QComboBox*>(Widget()); }

QWidget* PopupMenu::CreateWidget(QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setEditable(false);
    // Only a user's choice gets here: the popup's own changes block signals.
    QObject::connect(box, &QComboBox::currentIndexChanged, box, [this](int row) { UserSelected(row); });
    return box;
}

void PopupMenu::ApplyToWidget() {
    RectControl::ApplyToWidget();
    QComboBox* box = ComboBox();
    {
        const QSignalBlocker block(box);
        box->clear();
        for (const Row& r : rows_) box->addItem(r.text);
    }
    SyncWidgetSelection();
    UpdateFont();
}

void PopupMenu::SyncWidgetSelection() {
    QComboBox* box = ComboBox();
    if (!box) return;
    const QSignalBlocker block(box);
    box->setCurrentIndex(static_cast<int>(listIndex_));
}

void PopupMenu::CheckRow(int64_t row) const {
    if (row < 0 || row >= static_cast<int64_t>(rows_.size()))
        throw OutOfBoundsException("row " + std::to_string(row) + " of a popup with " +
                                   std::to_string(rows_.size()) + " rows");
}

void PopupMenu::AddRow(const String& text) {
    CheckMainThread();
    rows_.push_back({text, nullptr});
    if (QComboBox* box = ComboBox()) {
        const QSignalBlocker block(box);
        box->addItem(text);
    }
    // The combo box selects the first row it gets; the popup does not.
    SyncWidgetSelection();
}

int64_t PopupMenu::ListCount() const {
    CheckMainThread();
    return static_cast<int64_t>(rows_.size());
}

String PopupMenu::List(int64_t row) const {
    CheckMainThread();
    CheckRow(row);
    return rows_[static_cast<size_t>(row)].text;
}

Ref<Variant> PopupMenu::RowTag(int64_t row) const {
    CheckMainThread();
    CheckRow(row);
    return rows_[static_cast<size_t>(row)].tag;
}

void PopupMenu::SetRowTag(int64_t row, const Ref<Variant>& tag) {
    CheckMainThread();
    CheckRow(row);
    rows_[static_cast<size_t>(row)].tag = tag;
}

int64_t PopupMenu::ListIndex() const {
    CheckMainThread();
    return listIndex_;
}

void PopupMenu::SetListIndex(int64_t row) {
    CheckMainThread();
    if (row < 0) row = -1;
    else CheckRow(row);
    if (row == listIndex_) return;
    listIndex_ = row;
    SyncWidgetSelection();
    InvokeHandler<void>("Change", this);
}

void PopupMenu::ApplyDesignListIndex(int64_t row) {
    if (row >= 0 && row < static_cast<int64_t>(rows_.size())) SetListIndex(row);
}

void PopupMenu::UserSelected(int row) {
    if (row == listIndex_) return;
    listIndex_ = row < 0 ? -1 : row;
    RaiseHandler<void>("Change", this);
}

void PopupMenu::RaiseOpen() { RaiseHandler<void>("Open", this); }
