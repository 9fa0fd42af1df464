#include "StatusNotifier.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QEvent>
#include <QHash>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QtEndian>

#include <unistd.h>

// The D-Bus structures of the two interfaces.
namespace kestrune_sni {

// (iiay): one icon image, ARGB32 in network byte order.
struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray data;
};
using Pixmaps = QList<Pixmap>;

// (sa(iiay)ss): icon name, icon images, title, text.
struct ToolTip {
    QString iconName;
    Pixmaps icon;
    QString title;
    QString text;
};

// (ia{sv}av): a menu entry with its properties and its children, each
// child a variant holding its own (ia{sv}av).
struct Layout {
    int id = 0;
    QVariantMap properties;
    QList<Layout> children;
};

// (ia{sv}): an entry's properties.
struct ItemProperties {
    int id = 0;
    QVariantMap properties;
};
using ItemPropertiesList = QList<ItemProperties>;

// (ias): the properties an entry lost.
struct ItemKeys {
    int id = 0;
    QStringList keys;
};
using ItemKeysList = QList<ItemKeys>;

// (isvu): an event for an entry.
struct Event {
    int id = 0;
    QString type;
    QDBusVariant data;
    uint timestamp = 0;
};
using EventList = QList<Event>;

QDBusArgument& operator<<(QDBusArgument& a, const Pixmap& p) {
    a.beginStructure();
    a << p.width << p.height << p.data;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Pixmap& p) {
    a.beginStructure();
    a >> p.width >> p.height >> p.data;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const ToolTip& t) {
    a.beginStructure();
    a << t.iconName << t.icon << t.title << t.text;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ToolTip& t) {
    a.beginStructure();
    a >> t.iconName >> t.icon >> t.title >> t.text;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Layout& l) {
    a.beginStructure();
    a << l.id << l.properties;
    a.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const Layout& child : l.children) a << QDBusVariant(QVariant::fromValue(child));
    a.endArray();
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Layout& l) {
    a.beginStructure();
    a >> l.id >> l.properties;
    a.beginArray();
    l.children.clear();
    while (!a.atEnd()) {
        QDBusVariant v;
        a >> v;
        l.children.append(qdbus_cast<Layout>(v.variant()));
    }
    a.endArray();
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const ItemProperties& p) {
    a.beginStructure();
    a << p.id << p.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ItemProperties& p) {
    a.beginStructure();
    a >> p.id >> p.properties;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const ItemKeys& k) {
    a.beginStructure();
    a << k.id << k.keys;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ItemKeys& k) {
    a.beginStructure();
    a >> k.id >> k.keys;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const Event& e) {
    a.beginStructure();
    a << e.id << e.type << e.data << e.timestamp;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Event& e) {
    a.beginStructure();
    a >> e.id >> e.type >> e.data >> e.timestamp;
    a.endStructure();
    return a;
}

}  // namespace kestrune_sni

Q_DECLARE_METATYPE(kestrune_sni::Pixmap)
Q_DECLARE_METATYPE(kestrune_sni::ToolTip)
Q_DECLARE_METATYPE(kestrune_sni::Layout)
Q_DECLARE_METATYPE(kestrune_sni::ItemProperties)
Q_DECLARE_METATYPE(kestrune_sni::ItemKeys)
Q_DECLARE_METATYPE(kestrune_sni::Event)

using namespace kestrune_sni;

namespace {

const char* const kWatcherPath = "/StatusNotifierWatcher";
const char* const kWatcherInterface = "org.kde.StatusNotifierWatcher";
const char* const kItemInterface = "org.kde.StatusNotifierItem";
const char* const kMenuInterface = "com.canonical.dbusmenu";
const char* const kPropertiesInterface = "org.freedesktop.DBus.Properties";
// The image sizes a host picks from.
constexpr int kIconSizes[] = {22, 32, 64, 128};

void RegisterTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<Pixmap>();
        qDBusRegisterMetaType<Pixmaps>();
        qDBusRegisterMetaType<ToolTip>();
        qDBusRegisterMetaType<Layout>();
        qDBusRegisterMetaType<ItemProperties>();
        qDBusRegisterMetaType<ItemPropertiesList>();
        qDBusRegisterMetaType<ItemKeys>();
        qDBusRegisterMetaType<ItemKeysList>();
        qDBusRegisterMetaType<Event>();
        qDBusRegisterMetaType<EventList>();
        return true;
    }();
    (void)done;
}

Pixmaps IconImages(const QIcon& icon) {
    Pixmaps out;
    if (icon.isNull()) return out;
    for (int size : kIconSizes) {
        QImage image = icon.pixmap(QSize(size, size), 1.0).toImage();
        if (image.isNull()) continue;
        if (image.width() != size || image.height() != size)
            image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        image = image.convertToFormat(QImage::Format_ARGB32);
        Pixmap p;
        p.width = image.width();
        p.height = image.height();
        p.data.resize(qsizetype(p.width) * p.height * 4);
        auto* dst = reinterpret_cast<uchar*>(p.data.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, dst += 4) qToBigEndian(line[x], dst);
        }
        out.append(p);
    }
    return out;
}

QDBusMessage ErrorReply(const QDBusMessage& call, const QString& what) {
    return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), what);
}

// Properties.Get / GetAll / Set over a fixed set, for the object's own
// interface; true when the call was one of them (answered).
bool AnswerProperties(const QDBusMessage& call, const QDBusConnection& bus, const QString& iface,
                      const QVariantMap& props) {
    if (call.interface() != QLatin1String(kPropertiesInterface)) return false;
    const QList<QVariant> args = call.arguments();
    const QString member = call.member();
    if (member == QLatin1String("Get") && call.signature() == QLatin1String("ss")) {
        const QString name = args[1].toString();
        if (args[0].toString() != iface && !args[0].toString().isEmpty()) {
            bus.send(ErrorReply(call, "no interface " + args[0].toString()));
        } else if (!props.contains(name)) {
            bus.send(ErrorReply(call, "no property " + name));
        } else {
            bus.send(call.createReply(QVariant::fromValue(QDBusVariant(props.value(name)))));
        }
        return true;
    }
    if (member == QLatin1String("GetAll") && call.signature() == QLatin1String("s")) {
        const bool ours = args[0].toString() == iface || args[0].toString().isEmpty();
        bus.send(call.createReply(QVariant::fromValue(ours ? props : QVariantMap())));
        return true;
    }
    if (member == QLatin1String("Set")) {
        bus.send(call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"),
                                       QStringLiteral("the properties are read-only")));
        return true;
    }
    return false;
}

// --- The item ---------------------------------------------------------------

class ItemObject : public QDBusVirtualObject {
public:
    ItemObject(QIcon icon, QString title, StatusNotifierActions actions)
        : images_(IconImages(icon)), title_(std::move(title)), actions_(std::move(actions)) {}

    QVariantMap Properties() const {
        ToolTip tip;
        tip.title = title_;
        const Pixmaps none;
        return {
            {"Category", QStringLiteral("ApplicationStatus")},
            {"Id", title_},
            {"Title", title_},
            {"Status", QStringLiteral("Active")},
            {"WindowId", 0},
            {"IconThemePath", QString()},
            {"Menu", QVariant::fromValue(QDBusObjectPath(StatusNotifierItem::kMenuPath))},
            {"ItemIsMenu", false},
            {"IconName", QString()},
            {"IconPixmap", QVariant::fromValue(images_)},
            {"OverlayIconName", QString()},
            {"OverlayIconPixmap", QVariant::fromValue(none)},
            {"AttentionIconName", QString()},
            {"AttentionIconPixmap", QVariant::fromValue(none)},
            {"AttentionMovieName", QString()},
            {"ToolTip", QVariant::fromValue(tip)},
        };
    }

    QString introspect(const QString&) const override {
        return QString::fromLatin1(
                   "<interface name=\"org.kde.StatusNotifierItem\">"
                   "<property name=\"Category\" type=\"s\" access=\"read\"/>"
                   "<property name=\"Id\" type=\"s\" access=\"read\"/>"
                   "<property name=\"Title\" type=\"s\" access=\"read\"/>"
                   "<property name=\"Status\" type=\"s\" access=\"read\"/>"
                   "<property name=\"WindowId\" type=\"i\" access=\"read\"/>"
                   "<property name=\"IconThemePath\" type=\"s\" access=\"read\"/>"
                   "<property name=\"Menu\" type=\"o\" access=\"read\"/>"
                   "<property name=\"ItemIsMenu\" type=\"b\" access=\"read\"/>"
                   "<property name=\"IconName\" type=\"s\" access=\"read\"/>"
                   "<property name=\"IconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
                   "<property name=\"OverlayIconName\" type=\"s\" access=\"read\"/>"
                   "<property name=\"OverlayIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
                   "<property name=\"AttentionIconName\" type=\"s\" access=\"read\"/>"
                   "<property name=\"AttentionIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
                   "<property name=\"AttentionMovieName\" type=\"s\" access=\"read\"/>"
                   "<property name=\"ToolTip\" type=\"(sa(iiay)ss)\" access=\"read\"/>"
                   "<method name=\"ContextMenu\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                   "<method name=\"Activate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                   "<method name=\"SecondaryActivate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
                   "<method name=\"Scroll\"><arg name=\"delta\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"orientation\" type=\"s\" direction=\"in\"/></method>"
                   "<signal name=\"NewTitle\"/>"
                   "<signal name=\"NewIcon\"/>"
                   "<signal name=\"NewAttentionIcon\"/>"
                   "<signal name=\"NewOverlayIcon\"/>"
                   "<signal name=\"NewToolTip\"/>"
                   "<signal name=\"NewStatus\"><arg name=\"status\" type=\"s\"/></signal>"
                   "</interface>");
    }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        if (call.type() != QDBusMessage::MethodCallMessage) return false;
        if (AnswerProperties(call, bus, QLatin1String(kItemInterface), Properties())) return true;
        if (!call.interface().isEmpty() && call.interface() != QLatin1String(kItemInterface)) return false;
        const QString member = call.member();
        const QList<QVariant> args = call.arguments();
        if (member == QLatin1String("Scroll")) {
            bus.send(call.createReply());
            return true;
        }
        if (member != QLatin1String("Activate") && member != QLatin1String("SecondaryActivate") &&
            member != QLatin1String("ContextMenu"))
            return false;
        if (call.signature() != QLatin1String("ii")) {
            bus.send(ErrorReply(call, "expected (ii)"));
            return true;
        }
        // The answer first; what the click does, from the event loop.
        bus.send(call.createReply());
        const int x = args[0].toInt(), y = args[1].toInt();
        std::function<void()> run;
        if (member == QLatin1String("Activate") && actions_.activate)
            run = actions_.activate;
        else if (member == QLatin1String("ContextMenu") && actions_.contextMenu)
            run = [fn = actions_.contextMenu, x, y] { fn(x, y); };
        if (run) QTimer::singleShot(0, this, run);
        return true;
    }

private:
    Pixmaps images_;
    QString title_;
    StatusNotifierActions actions_;
};

// --- The menu ---------------------------------------------------------------

class MenuObject : public QDBusVirtualObject {
public:
    MenuObject(QDBusConnection bus, QMenu* menu) : bus_(std::move(bus)), menu_(menu) {
        menu_->installEventFilter(this);
    }
    ~MenuObject() override {
        if (menu_) menu_->removeEventFilter(this);
    }

    QString introspect(const QString&) const override {
        return QString::fromLatin1(
                   "<interface name=\"com.canonical.dbusmenu\">"
                   "<property name=\"Version\" type=\"u\" access=\"read\"/>"
                   "<property name=\"TextDirection\" type=\"s\" access=\"read\"/>"
                   "<property name=\"Status\" type=\"s\" access=\"read\"/>"
                   "<property name=\"IconThemePath\" type=\"as\" access=\"read\"/>"
                   "<method name=\"GetLayout\"><arg name=\"parentId\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"recursionDepth\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"propertyNames\" type=\"as\" direction=\"in\"/>"
                   "<arg name=\"revision\" type=\"u\" direction=\"out\"/>"
                   "<arg name=\"layout\" type=\"(ia{sv}av)\" direction=\"out\"/></method>"
                   "<method name=\"GetGroupProperties\"><arg name=\"ids\" type=\"ai\" direction=\"in\"/>"
                   "<arg name=\"propertyNames\" type=\"as\" direction=\"in\"/>"
                   "<arg name=\"properties\" type=\"a(ia{sv})\" direction=\"out\"/></method>"
                   "<method name=\"GetProperty\"><arg name=\"id\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"name\" type=\"s\" direction=\"in\"/>"
                   "<arg name=\"value\" type=\"v\" direction=\"out\"/></method>"
                   "<method name=\"Event\"><arg name=\"id\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"eventId\" type=\"s\" direction=\"in\"/>"
                   "<arg name=\"data\" type=\"v\" direction=\"in\"/>"
                   "<arg name=\"timestamp\" type=\"u\" direction=\"in\"/></method>"
                   "<method name=\"EventGroup\"><arg name=\"events\" type=\"a(isvu)\" direction=\"in\"/>"
                   "<arg name=\"idErrors\" type=\"ai\" direction=\"out\"/></method>"
                   "<method name=\"AboutToShow\"><arg name=\"id\" type=\"i\" direction=\"in\"/>"
                   "<arg name=\"needUpdate\" type=\"b\" direction=\"out\"/></method>"
                   "<method name=\"AboutToShowGroup\"><arg name=\"ids\" type=\"ai\" direction=\"in\"/>"
                   "<arg name=\"updatesNeeded\" type=\"ai\" direction=\"out\"/>"
                   "<arg name=\"idErrors\" type=\"ai\" direction=\"out\"/></method>"
                   "<signal name=\"ItemsPropertiesUpdated\"><arg name=\"updatedProps\" type=\"a(ia{sv})\"/>"
                   "<arg name=\"removedProps\" type=\"a(ias)\"/></signal>"
                   "<signal name=\"LayoutUpdated\"><arg name=\"revision\" type=\"u\"/>"
                   "<arg name=\"parent\" type=\"i\"/></signal>"
                   "<signal name=\"ItemActivationRequested\"><arg name=\"id\" type=\"i\"/>"
                   "<arg name=\"timestamp\" type=\"u\"/></signal>"
                   "</interface>");
    }

    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        if (call.type() != QDBusMessage::MethodCallMessage) return false;
        const QVariantMap props = {
            {"Version", 3u},
            {"TextDirection", QStringLiteral("ltr")},
            {"Status", QStringLiteral("normal")},
            {"IconThemePath", QStringList()},
        };
        if (AnswerProperties(call, bus, QLatin1String(kMenuInterface), props)) return true;
        if (!call.interface().isEmpty() && call.interface() != QLatin1String(kMenuInterface)) return false;
        const QString m = call.member();
        const QString sig = call.signature();
        const QList<QVariant> a = call.arguments();
        if (m == QLatin1String("GetLayout") && sig == QLatin1String("iias")) {
            const int parent = a[0].toInt(), depth = a[1].toInt();
            const QStringList names = a[2].toStringList();
            // A host may show the layout without asking AboutToShow first.
            AboutToShow();
            Layout layout;
            if (parent == 0) {
                layout.properties = Filter({{"children-display", QStringLiteral("submenu")}}, names);
                if (depth != 0)
                    for (QAction* action : menu_->actions())
                        layout.children.append(Layout{IdOf(action), Filter(EntryProperties(action), names), {}});
            } else if (QAction* action = ActionOf(parent)) {
                layout = Layout{parent, Filter(EntryProperties(action), names), {}};
            } else {
                bus.send(ErrorReply(call, QStringLiteral("no entry %1").arg(parent)));
                return true;
            }
            bus.send(call.createReply(QVariantList{revision_, QVariant::fromValue(layout)}));
            return true;
        }
        if (m == QLatin1String("GetGroupProperties") && sig == QLatin1String("aias")) {
            const QList<int> ids = qdbus_cast<QList<int>>(a[0]);
            const QStringList names = a[1].toStringList();
            ItemPropertiesList out;
            for (int id : ids) {
                if (id == 0)
                    out.append({0, Filter({{"children-display", QStringLiteral("submenu")}}, names)});
                else if (QAction* action = ActionOf(id))
                    out.append({id, Filter(EntryProperties(action), names)});
            }
            bus.send(call.createReply(QVariant::fromValue(out)));
            return true;
        }
        if (m == QLatin1String("GetProperty") && sig == QLatin1String("is")) {
            QAction* action = ActionOf(a[0].toInt());
            const QVariantMap entry = action ? EntryProperties(action) : QVariantMap();
            if (!entry.contains(a[1].toString())) {
                bus.send(ErrorReply(call, QStringLiteral("no property %1 of entry %2").arg(a[1].toString()).arg(a[0].toInt())));
                return true;
            }
            bus.send(call.createReply(QVariant::fromValue(QDBusVariant(entry.value(a[1].toString())))));
            return true;
        }
        if (m == QLatin1String("Event") && sig == QLatin1String("isvu")) {
            if (!OnEvent(a[0].toInt(), a[1].toString())) {
                bus.send(ErrorReply(call, QStringLiteral("no entry %1").arg(a[0].toInt())));
                return true;
            }
            bus.send(call.createReply());
            return true;
        }
        if (m == QLatin1String("EventGroup") && sig == QLatin1String("a(isvu)")) {
            QList<int> errors;
            for (const Event& e : qdbus_cast<EventList>(a[0]))
                if (!OnEvent(e.id, e.type)) errors.append(e.id);
            bus.send(call.createReply(QVariant::fromValue(errors)));
            return true;
        }
        if (m == QLatin1String("AboutToShow") && sig == QLatin1String("i")) {
            const int id = a[0].toInt();
            if (id != 0 && !ActionOf(id)) {
                bus.send(ErrorReply(call, QStringLiteral("no entry %1").arg(id)));
                return true;
            }
            bus.send(call.createReply(QVariant(id == 0 && AboutToShow())));
            return true;
        }
        if (m == QLatin1String("AboutToShowGroup") && sig == QLatin1String("ai")) {
            QList<int> updates, errors;
            for (int id : qdbus_cast<QList<int>>(a[0])) {
                if (id != 0 && !ActionOf(id))
                    errors.append(id);
                else if (id == 0 && AboutToShow())
                    updates.append(id);
            }
            bus.send(call.createReply(QVariantList{QVariant::fromValue(updates), QVariant::fromValue(errors)}));
            return true;
        }
        bus.send(ErrorReply(call, QStringLiteral("no method %1 (%2)").arg(m, sig)));
        return true;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == menu_ && (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved ||
                                 event->type() == QEvent::ActionChanged))
            Changed();
        return false;
    }

private:
    // A new revision; the host hears of it once the changes of this turn of
    // the event loop are in.
    void Changed() {
        ++revision_;
        if (announcing_) return;
        announcing_ = true;
        QTimer::singleShot(0, this, [this] {
            announcing_ = false;
            QDBusMessage signal =
                QDBusMessage::createSignal(StatusNotifierItem::kMenuPath, kMenuInterface, "LayoutUpdated");
            signal << revision_ << 0;
            bus_.send(signal);
        });
    }

    // Lets the menu bring its entries up to date (enabling), as it does when
    // it opens; whether anything changed.
    bool AboutToShow() {
        if (!menu_) return false;
        const uint before = revision_;
        emit menu_->aboutToShow();
        return revision_ != before;
    }

    bool OnEvent(int id, const QString& type) {
        if (id == 0) return true;
        QAction* action = ActionOf(id);
        if (!action) return false;
        if (type != QLatin1String("clicked")) return true;
        // Whether it can act is asked now, not when the host last looked.
        AboutToShow();
        if (action->isEnabled() && action->isVisible() && !action->isSeparator())
            QTimer::singleShot(0, action, [action] { action->trigger(); });
        return true;
    }

    int IdOf(QAction* action) {
        auto it = ids_.find(action);
        if (it == ids_.end()) it = ids_.insert(action, nextId_++);
        return it.value();
    }

    QAction* ActionOf(int id) const {
        if (!menu_ || id <= 0) return nullptr;
        for (QAction* action : menu_->actions())
            if (ids_.value(action) == id) return action;
        return nullptr;
    }

    static QVariantMap EntryProperties(const QAction* action) {
        if (action->isSeparator()) return {{"type", QStringLiteral("separator")}, {"visible", action->isVisible()}};
        return {{"label", StatusNotifierMenuLabel(action->text())},
                {"enabled", action->isEnabled()},
                {"visible", action->isVisible()}};
    }

    static QVariantMap Filter(QVariantMap props, const QStringList& names) {
        if (names.isEmpty()) return props;
        for (auto it = props.begin(); it != props.end();)
            it = names.contains(it.key()) ? std::next(it) : props.erase(it);
        return props;
    }

    QDBusConnection bus_;
    QPointer<QMenu> menu_;
    // The entries' ids, kept for the actions' lifetime (ids of removed
    // actions are never handed out again).
    QHash<QAction*, int> ids_;
    int nextId_ = 1;
    uint revision_ = 1;
    bool announcing_ = false;
};

}  // namespace

// --- Public -----------------------------------------------------------------

const char* const StatusNotifierWatch::kWatcherService = "org.kde.StatusNotifierWatcher";
const char* const StatusNotifierItem::kItemPath = "/StatusNotifierItem";
const char* const StatusNotifierItem::kMenuPath = "/MenuBar";

StatusNotifierWatch::StatusNotifierWatch(const QDBusConnection& bus, std::function<void(bool)> changed) {
    if (!bus.isConnected()) return;
    // The watch first, the look second: an owner that comes in between is
    // heard.
    watcher_ = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus,
                                       QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, watcher_,
                     [this, changed](const QString&, const QString&, const QString& owner) {
                         present_ = !owner.isEmpty();
                         if (changed) changed(present_);
                     });
    if (QDBusConnectionInterface* daemon = bus.interface())
        present_ = daemon->isServiceRegistered(QString::fromLatin1(kWatcherService)).value();
}

StatusNotifierWatch::~StatusNotifierWatch() { delete watcher_; }

struct StatusNotifierItem::Objects {
    QDBusConnection bus;
    QString service;
    ItemObject* item = nullptr;
    MenuObject* menu = nullptr;
    bool itemExported = false, menuExported = false, named = false;
};

StatusNotifierItem::StatusNotifierItem(const QDBusConnection& bus, QMenu* menu, const QIcon& icon,
                                       const QString& title, StatusNotifierActions actions)
    : d_(new Objects{bus, QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid())}) {
    RegisterTypes();
    d_->item = new ItemObject(icon, title, std::move(actions));
    d_->menu = new MenuObject(bus, menu);
    if (!d_->bus.isConnected()) return;
    d_->itemExported = d_->bus.registerVirtualObject(kItemPath, d_->item);
    d_->menuExported = d_->bus.registerVirtualObject(kMenuPath, d_->menu);
    d_->named = d_->bus.registerService(d_->service);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (d_->named) d_->bus.unregisterService(d_->service);
    if (d_->menuExported) d_->bus.unregisterObject(kMenuPath);
    if (d_->itemExported) d_->bus.unregisterObject(kItemPath);
    delete d_->menu;
    delete d_->item;
    delete d_;
}

bool StatusNotifierItem::Exported() const { return d_->itemExported && d_->menuExported && d_->named; }

QString StatusNotifierItem::ServiceName() const { return d_->service; }

void StatusNotifierItem::RegisterWithWatcher() {
    if (!Exported()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(StatusNotifierWatch::kWatcherService, kWatcherPath,
                                                       kWatcherInterface, "RegisterStatusNotifierItem");
    call << d_->service;
    d_->bus.send(call);
}

QString StatusNotifierMenuLabel(const QString& qtText) {
    QString out;
    out.reserve(qtText.size());
    for (qsizetype i = 0; i < qtText.size(); ++i) {
        const QChar c = qtText[i];
        if (c == u'&') {
            if (i + 1 < qtText.size() && qtText[i + 1] == u'&') {
                out += u'&';
                ++i;
            } else if (i + 1 < qtText.size()) {
                out += u'_';
            }
        } else if (c == u'_') {
            out += QStringLiteral("__");
        } else {
            out += c;
        }
    }
    return out;
}
