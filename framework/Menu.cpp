#include "Menu.h"

#include "Application.h"
#include "Runtime.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QTextEdit>

#include <algorithm>

struct MenuItem::Views {
    std::vector<QPointer<QAction>> actions;
};

namespace {

// ---------------------------------------------------------------------------
// The editing items: the framework acts on the focused widget for them.

enum class EditCommand { None, Undo, Cut, Copy, Paste, Clear, SelectAll };

EditCommand EditCommandFor(const String& name) {
    if (name == "EditUndo") return EditCommand::Undo;
    if (name == "EditCut") return EditCommand::Cut;
    if (name == "EditCopy") return EditCommand::Copy;
    if (name == "EditPaste") return EditCommand::Paste;
    if (name == "EditClear") return EditCommand::Clear;
    if (name == "EditSelectAll") return EditCommand::SelectAll;
    return EditCommand::None;
}

bool ClipboardHasText() {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    return data && data->hasText();
}

bool CanEdit(EditCommand cmd, QWidget* w) {
    if (!w) return false;
    if (auto* le = qobject_cast<QLineEdit*>(w)) {
        const bool plain = le->echoMode() == QLineEdit::Normal;
        switch (cmd) {
            case EditCommand::Undo: return !le->isReadOnly() && le->isUndoAvailable();
            case EditCommand::Cut: return !le->isReadOnly() && plain && le->hasSelectedText();
            case EditCommand::Copy: return plain && le->hasSelectedText();
            case EditCommand::Paste: return !le->isReadOnly() && ClipboardHasText();
            case EditCommand::Clear: return !le->isReadOnly() && le->hasSelectedText();
            case EditCommand::SelectAll: return !le->text().isEmpty();
            case EditCommand::None: return false;
        }
    }
    auto textCase = [&](bool readOnly, bool hasSelection, bool undo, bool canPaste, bool empty) {
        switch (cmd) {
            case EditCommand::Undo: return !readOnly && undo;
            case EditCommand::Cut: return !readOnly && hasSelection;
            case EditCommand::Copy: return hasSelection;
            case EditCommand::Paste: return !readOnly && canPaste;
            case EditCommand::Clear: return !readOnly && hasSelection;
            case EditCommand::SelectAll: return !empty;
            case EditCommand::None: return false;
        }
        return false;
    };
    if (auto* te = qobject_cast<QTextEdit*>(w))
        return textCase(te->isReadOnly(), te->textCursor().hasSelection(), te->document()->isUndoAvailable(),
                        te->canPaste(), te->document()->isEmpty());
    if (auto* pe = qobject_cast<QPlainTextEdit*>(w))
        return textCase(pe->isReadOnly(), pe->textCursor().hasSelection(), pe->document()->isUndoAvailable(),
                        pe->canPaste(), pe->document()->isEmpty());
    if (auto* label = qobject_cast<QLabel*>(w)) return cmd == EditCommand::Copy && label->hasSelectedText();
    return false;
}

void PerformEdit(EditCommand cmd, QWidget* w) {
    if (!CanEdit(cmd, w)) return;
    if (auto* le = qobject_cast<QLineEdit*>(w)) {
        switch (cmd) {
            case EditCommand::Undo: le->undo(); break;
            case EditCommand::Cut: le->cut(); break;
            case EditCommand::Copy: le->copy(); break;
            case EditCommand::Paste: le->paste(); break;
            case EditCommand::Clear: le->del(); break;
            case EditCommand::SelectAll: le->selectAll(); break;
            case EditCommand::None: break;
        }
        return;
    }
    auto text = [&](auto* e) {
        switch (cmd) {
            case EditCommand::Undo: e->undo(); break;
            case EditCommand::Cut: e->cut(); break;
            case EditCommand::Copy: e->copy(); break;
            case EditCommand::Paste: e->paste(); break;
            case EditCommand::Clear: e->textCursor().removeSelectedText(); break;
            case EditCommand::SelectAll: e->selectAll(); break;
            case EditCommand::None: break;
        }
    };
    if (auto* te = qobject_cast<QTextEdit*>(w)) return text(te);
    if (auto* pe = qobject_cast<QPlainTextEdit*>(w)) return text(pe);
    if (auto* label = qobject_cast<QLabel*>(w)) QApplication::clipboard()->setText(label->selectedText());
}

Application* TheApplication() {
    Ref<Object> app = GetAppObject();
    return dynamic_cast<Application*>(app.get());
}

bool IsMenu(const MenuItem& item) {
    return item.Count() > 0 || (item.Parent() && item.Parent()->ClassOf().IsA(MenuBar::Class()));
}

std::vector<std::string> MenuItemOps() {
    return {"Append", "Child", "Clone", "Close", "Constructor", "Constructor", "Constructor", "Count",
            "Enable", "Handle", "Insert", "Item", "MenuItem", "MenuItem", "PopUp", "PopUp", "Remove",
            "Remove", "Remove", "_DependencyList", "_DisableEntirely", "_Lookup", "_Lookup", "_SelfEnable",
            "_Swap"};
}

// The initialiser and finaliser hooks of MenuItem: listed among the methods,
// with no slot among the virtual operations.
std::vector<MethodInfo> MenuItemHooks() {
    return {{"__Init", "(  )", {{"Hidden", ""}}}, {"__Exit", "(  )", {{"Hidden", ""}}}};
}

ClassInfo MenuClass(const char* name, const ClassInfo* base, std::function<Object*()> factory) {
    ClassInfo c;
    c.name = name;
    c.base = base;
    c.virtualOps = MenuItemOps();
    c.factory = std::move(factory);
    for (const auto& op : c.virtualOps) c.methods.push_back({op, "", {}});
    for (auto& hook : MenuItemHooks()) c.methods.push_back(std::move(hook));
    return c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Qt views of the tree.

struct MenuQt {
    static void Refresh(QAction* a, const MenuItem& item) {
        // A separator shows no caption.
        a->setText(item.IsSeparator() ? String() : item.text_);
        a->setSeparator(item.IsSeparator());
        a->setVisible(item.visible_);
        if (!a->menu()) a->setShortcut(MenuShortcutToKeySequence(item.shortcut_));
        a->setEnabled(item.EnabledNow());
    }

    static void Track(QAction* a, MenuItem& item) {
        if (!item.views_) item.views_ = new MenuItem::Views;
        auto& list = item.views_->actions;
        list.erase(std::remove_if(list.begin(), list.end(), [](const QPointer<QAction>& p) { return p.isNull(); }),
                   list.end());
        list.emplace_back(a);
        Refresh(a, item);
    }

    using Entries = std::vector<std::pair<QPointer<QAction>, Ref<MenuItem>>>;

    // An action for a leaf item, appended to menu.
    static void AddAction(QMenu* menu, const Ref<MenuItem>& child, Entries& entries) {
        MenuItem& item = *child;
        QAction* a = menu->addAction(item.text_);
        if (item.ClassOf().IsA(QuitMenuItem::Class()))
            a->setMenuRole(QAction::QuitRole);
        else if (item.ClassOf().IsA(AppleMenuItem::Class()))
            a->setMenuRole(QAction::AboutRole);
        else
            a->setMenuRole(QAction::NoRole);
        Ref<MenuItem> keep = child;
        QObject::connect(a, &QAction::triggered, a, [keep] { RuntimeRaiseEvent([&] { keep->Choose(); }); });
        Track(a, item);
        entries.emplace_back(a, child);
    }

    // Enabling depends on the moment (menu handlers, the focused widget):
    // ask again each time the menu opens.
    static void RefreshOnShow(QMenu* menu, Entries entries) {
        QObject::connect(menu, &QMenu::aboutToShow, menu, [entries] {
            for (const auto& [action, item] : entries)
                if (action) action->setEnabled(item->EnabledNow());
        });
    }

    // A QMenu for a menu item, its children as actions and submenus.
    static QMenu* MakeMenu(MenuItem& menuItem, QWidget* parent) {
        auto* menu = new QMenu(menuItem.text_, parent);
        Track(menu->menuAction(), menuItem);
        Entries entries;
        for (const Ref<MenuItem>& child : menuItem.children_) {
            if (!child->children_.empty()) {
                menu->addMenu(MakeMenu(*child, menu));
                continue;
            }
            AddAction(menu, child, entries);
        }
        RefreshOnShow(menu, std::move(entries));
        return menu;
    }

    // The leaf items below item, depth first, in order. An entry directly on
    // a bar is a menu even when it is empty.
    static void Leaves(const MenuItem& item, std::vector<Ref<MenuItem>>& out) {
        const bool bar = item.ClassOf().IsA(MenuBar::Class());
        for (const Ref<MenuItem>& child : item.children_) {
            if (child->children_.empty() && !bar)
                out.push_back(child);
            else
                Leaves(*child, out);
        }
    }

    // The items that can act with no window in front, flat: About first,
    // Quit last after a separator, the others between. Editing items (they
    // act on a focused widget) and separators are left out.
    static void AddTrayItems(const MenuItem& bar, QMenu* menu) {
        std::vector<Ref<MenuItem>> leaves;
        Leaves(bar, leaves);
        std::vector<Ref<MenuItem>> about, quit, other;
        for (const Ref<MenuItem>& item : leaves) {
            if (item->IsSeparator() || EditCommandFor(item->name_) != EditCommand::None) continue;
            if (item->ClassOf().IsA(AppleMenuItem::Class()))
                about.push_back(item);
            else if (item->ClassOf().IsA(QuitMenuItem::Class()))
                quit.push_back(item);
            else
                other.push_back(item);
        }
        Entries entries;
        for (const auto* group : {&about, &other, &quit}) {
            if (group->empty()) continue;
            if (group == &quit && !entries.empty()) menu->addSeparator();
            for (const Ref<MenuItem>& item : *group) AddAction(menu, item, entries);
        }
        RefreshOnShow(menu, std::move(entries));
    }

    static void AddMenus(const MenuItem& bar, QWidget* owner, const std::function<void(QMenu*)>& add) {
        for (const Ref<MenuItem>& child : bar.children_) add(MakeMenu(*child, owner));
    }
};

// ---------------------------------------------------------------------------

MenuItem::MenuItem() = default;

MenuItem::~MenuItem() {
    for (const Ref<MenuItem>& c : children_)
        if (c->parent_ == this) c->parent_ = nullptr;
    delete views_;
}

void MenuItem::Sync() const {
    if (!views_) return;
    for (const QPointer<QAction>& a : views_->actions)
        if (a) MenuQt::Refresh(a, *this);
}

void MenuItem::Constructor() { CheckMainThread(); }

void MenuItem::SetName(const String& name) {
    CheckMainThread();
    name_ = name;
    Sync();
}
String MenuItem::Name() const {
    CheckMainThread();
    return name_;
}
void MenuItem::SetText(const String& text) {
    CheckMainThread();
    text_ = text;
    Sync();
}
String MenuItem::Text() const {
    CheckMainThread();
    return text_;
}
void MenuItem::SetKeyboardShortcut(const String& s) {
    CheckMainThread();
    shortcut_ = s;
    Sync();
}
String MenuItem::KeyboardShortcut() const {
    CheckMainThread();
    return shortcut_;
}
void MenuItem::SetAutoEnable(bool on) {
    CheckMainThread();
    autoEnable_ = on;
    Sync();
}
bool MenuItem::AutoEnable() const {
    CheckMainThread();
    return autoEnable_;
}
void MenuItem::SetVisible(bool on) {
    CheckMainThread();
    visible_ = on;
    Sync();
}
bool MenuItem::Visible() const {
    CheckMainThread();
    return visible_;
}
void MenuItem::SetEnabled(bool on) {
    CheckMainThread();
    enabled_ = on;
    Sync();
}
bool MenuItem::Enabled() const {
    CheckMainThread();
    return enabled_;
}

void MenuItem::Append(const Ref<MenuItem>& item) {
    CheckMainThread();
    MenuItem& child = *item;  // nil raises
    for (const MenuItem* p = this; p; p = p->parent_)
        if (p == &child) throw InvalidArgumentException("a menu item cannot be appended below itself");
    Ref<MenuItem> keep = item;
    if (MenuItem* old = child.parent_) {
        auto& list = old->children_;
        list.erase(std::find(list.begin(), list.end(), item));
    }
    children_.push_back(keep);
    child.parent_ = this;
}

Ref<MenuItem> MenuItem::Child(const String& name) const {
    CheckMainThread();
    for (const Ref<MenuItem>& c : children_)
        if (c->name_ == name) return c;
    return nullptr;
}

Ref<MenuItem> MenuItem::Lookup(const String& name) const {
    CheckMainThread();
    for (const Ref<MenuItem>& c : children_) {
        if (c->name_ == name) return c;
        if (Ref<MenuItem> below = c->Lookup(name)) return below;
    }
    return nullptr;
}

int64_t MenuItem::Count() const { return static_cast<int64_t>(children_.size()); }

Ref<MenuItem> MenuItem::Item(int64_t index) const {
    CheckMainThread();
    if (index < 0 || index >= Count())
        throw OutOfBoundsException("menu item index " + std::to_string(index) + " is out of bounds");
    return children_[static_cast<std::size_t>(index)];
}

bool MenuItem::EnabledNow() const {
    if (!autoEnable_) return enabled_;
    if (IsMenu(*this)) return true;
    if (Application* app = TheApplication(); app && app->HasMenuHandler(name_)) return true;
    const EditCommand cmd = EditCommandFor(name_);
    if (cmd != EditCommand::None) return CanEdit(cmd, QApplication::focusWidget());
    return false;
}

void MenuItem::Choose() {
    if (Application* app = TheApplication(); app && app->HasMenuHandler(name_)) {
        Ref<Object> hold(app);
        app->DispatchMenuItem(name_);
        return;
    }
    const EditCommand cmd = EditCommandFor(name_);
    if (cmd != EditCommand::None) PerformEdit(cmd, QApplication::focusWidget());
}

bool QuitMenuItem::EnabledNow() const { return !AutoEnable() ? Enabled() : true; }

void QuitMenuItem::Choose() {
    if (Application* app = TheApplication(); app && app->HasMenuHandler(Name())) {
        Ref<Object> hold(app);
        if (app->DispatchMenuItem(Name())) return;
    }
    RuntimeQuit(0);
}

MenuBar::MenuBar() = default;
MenuBar::~MenuBar() = default;

// ---------------------------------------------------------------------------
// Class tables.

const ClassInfo& MenuItem::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = MenuClass("MenuItem", &Object::Class(), [] { return new MenuItem; });
        c.events = {"Action", "EnableMenu"};
        c.properties.push_back(MakeProperty<MenuItem, String>("Name", &MenuItem::SetName, &MenuItem::Name));
        c.properties.push_back(MakeProperty<MenuItem, String>("Text", &MenuItem::SetText, &MenuItem::Text));
        c.properties.push_back(MakeProperty<MenuItem, String>("KeyboardShortcut", &MenuItem::SetKeyboardShortcut,
                                                              &MenuItem::KeyboardShortcut));
        c.properties.push_back(
            MakeProperty<MenuItem, bool>("AutoEnable", &MenuItem::SetAutoEnable, &MenuItem::AutoEnable));
        c.properties.push_back(MakeProperty<MenuItem, bool>("Visible", &MenuItem::SetVisible, &MenuItem::Visible));
        c.properties.push_back(MakeProperty<MenuItem, bool>("Enabled", &MenuItem::SetEnabled, &MenuItem::Enabled));
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

const ClassInfo& MenuBar::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = MenuClass("MenuBar", &MenuItem::Class(), [] { return new MenuBar; });
        c.virtualOps.push_back("_InstallClone");
        // After the operations, before the hooks; then MenuBar's own
        // initialiser hook beside MenuItem's two.
        c.methods.insert(c.methods.begin() + static_cast<std::ptrdiff_t>(c.virtualOps.size() - 1),
                         MethodInfo{"_InstallClone", "", {}});
        c.methods.push_back({"__Init", "(  )", {{"Hidden", ""}}});
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

const ClassInfo& QuitMenuItem::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = MenuClass("QuitMenuItem", &MenuItem::Class(), [] { return new QuitMenuItem; });
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

const ClassInfo& AppleMenuItem::Class() {
    static const ClassInfo info = [] {
        ClassInfo c = MenuClass("AppleMenuItem", &MenuItem::Class(), [] { return new AppleMenuItem; });
        RuntimeNoteClassBuilt(c);
        return c;
    }();
    return info;
}

// ---------------------------------------------------------------------------

QKeySequence MenuShortcutToKeySequence(const String& shortcut) {
    if (shortcut.trimmed().isEmpty()) return QKeySequence();
    String s = shortcut.trimmed();
    s.replace(QRegularExpression("\\b(cmd|command|ctrl|control)\\+", QRegularExpression::CaseInsensitiveOption),
              "Ctrl+");
    s.replace(QRegularExpression("\\b(option|opt|alt)\\+", QRegularExpression::CaseInsensitiveOption), "Alt+");
    s.replace(QRegularExpression("\\bshift\\+", QRegularExpression::CaseInsensitiveOption), "Shift+");
    return QKeySequence(s, QKeySequence::PortableText);
}

QMenuBar* BuildQtMenuBar(const Ref<MenuBar>& bar, QWidget* parent) {
    CheckMainThread();
    MenuBar& b = *bar;
    auto* qbar = new QMenuBar(parent);
    MenuQt::AddMenus(b, qbar, [qbar](QMenu* m) { qbar->addMenu(m); });
    return qbar;
}

void AddTrayItemsToQtMenu(const Ref<MenuBar>& bar, QMenu* menu) {
    CheckMainThread();
    MenuBar& b = *bar;
    MenuQt::AddTrayItems(b, menu);
}

Ref<MenuItem> FindMenuItemOfClass(const Ref<MenuItem>& root, const ClassInfo& cls) {
    if (!root) return nullptr;
    for (int64_t i = 0; i < root->Count(); ++i) {
        Ref<MenuItem> child = root->Item(i);
        if (child->ClassOf().IsA(cls)) return child;
        if (Ref<MenuItem> below = FindMenuItemOfClass(child, cls)) return below;
    }
    return nullptr;
}
