// The StatusNotifier item and its dbusmenu, on a private D-Bus daemon: what a
// host sees of them (properties, layout, introspection) and what its calls do.
#include <gtest/gtest.h>

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

#include <map>
#include <memory>
#include <set>

#include "EventLoop.h"
#include "StatusNotifier.h"

// An event as a host sends it in EventGroup: (isvu).
namespace sn_test {
struct Event {
    int id = 0;
    QString type;
    QDBusVariant data;
    uint timestamp = 0;
};
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
}  // namespace sn_test
Q_DECLARE_METATYPE(sn_test::Event)

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemIface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuIface = QStringLiteral("com.canonical.dbusmenu");

// A watcher as a panel runs one: records the items that register.
class FakeWatcher : public QDBusVirtualObject {
public:
    QStringList registered;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() != QLatin1String("RegisterStatusNotifierItem")) return false;
        registered << m.arguments().value(0).toString();
        bus.send(m.createReply());
        return true;
    }
};

struct Entry {
    int id = 0;
    QVariantMap props;
    QList<Entry> children;
};

Entry ReadLayout(const QDBusArgument& a) {
    Entry e;
    a.beginStructure();
    a >> e.id >> e.props;
    a.beginArray();
    while (!a.atEnd()) {
        QDBusVariant v;
        a >> v;
        e.children << ReadLayout(qvariant_cast<QDBusArgument>(v.variant()));
    }
    a.endArray();
    a.endStructure();
    return e;
}

class StatusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
        socket_ = QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(QStringLiteral("sn-test-bus"));
        QFile::remove(socket_);
        address_ = "unix:path=" + socket_;
        daemon_.start(daemon, {"--session", "--nofork", "--nopidfile", "--address=" + address_});
        ASSERT_TRUE(daemon_.waitForStarted(5000));
        ASSERT_TRUE(RunUntil([&] { return QFileInfo::exists(socket_); }, 10000)) << "the bus did not come up";
        server_ = QDBusConnection::connectToBus(address_, QStringLiteral("sn-server"));
        client_ = QDBusConnection::connectToBus(address_, QStringLiteral("sn-client"));
        ASSERT_TRUE(server_.isConnected() && client_.isConnected());
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("sn-server"));
        QDBusConnection::disconnectFromBus(QStringLiteral("sn-client"));
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished(5000);
        }
        QFile::remove(socket_);
    }

    // A call from the host's side, answered while the event loop runs.
    QDBusMessage Call(const QString& service, const QString& path, const QString& iface, const QString& member,
                      const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, iface, member);
        m.setArguments(args);
        QDBusPendingCall pending = client_.asyncCall(m, 5000);
        EXPECT_TRUE(RunUntil([&] { return pending.isFinished(); }, 8000)) << member.toStdString();
        return pending.reply();
    }
    QDBusMessage MenuCall(const StatusNotifierItem& item, const QString& member, const QVariantList& args = {}) {
        return Call(item.ServiceName(), StatusNotifierItem::kMenuPath, kMenuIface, member, args);
    }
    Entry Layout(const StatusNotifierItem& item, const QStringList& names = {}, uint* revision = nullptr) {
        const QDBusMessage r = MenuCall(item, "GetLayout", {0, -1, names});
        EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
        if (r.arguments().size() != 2) return {};
        if (revision) *revision = r.arguments()[0].toUInt();
        return ReadLayout(qvariant_cast<QDBusArgument>(r.arguments()[1]));
    }
    bool NameHasOwner(const QString& name) {
        return Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", {name})
            .arguments()
            .value(0)
            .toBool();
    }

    QProcess daemon_;
    QString socket_, address_;
    QDBusConnection server_{QString()};
    QDBusConnection client_{QString()};
};

TEST_F(StatusNotifierTest, TheItemRegistersWithEachNewWatcherAndShowsTheIconAndItsMenu) {
    std::vector<bool> heard;
    StatusNotifierWatch watch(server_, [&](bool present) { heard.push_back(present); });
    EXPECT_FALSE(watch.Present());

    QImage image(128, 128, QImage::Format_ARGB32);
    image.fill(qRgba(0x11, 0x22, 0x33, 0xff));
    QMenu menu;
    int activations = 0;
    QPoint menuAt;
    StatusNotifierActions actions;
    actions.activate = [&] { ++activations; };
    actions.contextMenu = [&](int x, int y) { menuAt = QPoint(x, y); };
    auto item = std::make_unique<StatusNotifierItem>(server_, &menu, QIcon(QPixmap::fromImage(image)), "Kestrune",
                                                     std::move(actions));
    ASSERT_TRUE(item->Exported());
    EXPECT_EQ(item->ServiceName(), QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid()));

    // Each watcher that comes (a panel started, or started again) hears of
    // the item.
    for (int round = 1; round <= 2; ++round) {
        FakeWatcher fake;
        ASSERT_TRUE(client_.registerVirtualObject("/StatusNotifierWatcher", &fake));
        ASSERT_TRUE(client_.registerService(kWatcher));
        ASSERT_TRUE(RunUntil([&] { return watch.Present(); }));
        item->RegisterWithWatcher();
        ASSERT_TRUE(RunUntil([&] { return !fake.registered.isEmpty(); })) << "round " << round;
        EXPECT_EQ(fake.registered, QStringList{item->ServiceName()});
        client_.unregisterService(kWatcher);
        client_.unregisterObject("/StatusNotifierWatcher");
        ASSERT_TRUE(RunUntil([&] { return !watch.Present(); }));
    }
    EXPECT_EQ(heard, (std::vector<bool>{true, false, true, false}));

    const QDBusMessage all = Call(item->ServiceName(), StatusNotifierItem::kItemPath,
                                  "org.freedesktop.DBus.Properties", "GetAll", {kItemIface});
    ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage) << all.errorMessage().toStdString();
    const QVariantMap props = qdbus_cast<QVariantMap>(all.arguments().value(0));
    EXPECT_EQ(props.value("Category").toString(), "ApplicationStatus");
    EXPECT_EQ(props.value("Status").toString(), "Active");
    EXPECT_EQ(props.value("Title").toString(), "Kestrune");
    EXPECT_EQ(props.value("Id").toString(), "Kestrune");
    EXPECT_EQ(props.value("ItemIsMenu").toBool(), false);
    EXPECT_EQ(qvariant_cast<QDBusObjectPath>(props.value("Menu")).path(), StatusNotifierItem::kMenuPath);
    // The images, ARGB32 in network byte order: alpha, red, green, blue.
    const QDBusArgument pixmaps = qvariant_cast<QDBusArgument>(props.value("IconPixmap"));
    std::vector<int> sizes;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int w = 0, h = 0;
        QByteArray data;
        pixmaps.beginStructure();
        pixmaps >> w >> h >> data;
        pixmaps.endStructure();
        sizes.push_back(w);
        EXPECT_EQ(w, h);
        ASSERT_EQ(data.size(), w * h * 4);
        EXPECT_EQ(data.left(4), QByteArray("\xff\x11\x22\x33", 4)) << "size " << w;
    }
    pixmaps.endArray();
    EXPECT_EQ(sizes, (std::vector<int>{22, 32, 64, 128}));

    // What hosts that read the interface from its description find.
    const QString xml = Call(item->ServiceName(), StatusNotifierItem::kItemPath,
                             "org.freedesktop.DBus.Introspectable", "Introspect")
                            .arguments()
                            .value(0)
                            .toString();
    for (const char* part : {"<interface name=\"org.kde.StatusNotifierItem\">",
                             "<property name=\"IconPixmap\" type=\"a(iiay)\" access=\"read\"/>",
                             "<property name=\"ToolTip\" type=\"(sa(iiay)ss)\" access=\"read\"/>",
                             "<method name=\"Activate\">", "<signal name=\"NewIcon\"/>",
                             "org.freedesktop.DBus.Properties"})
        EXPECT_TRUE(xml.contains(QLatin1String(part))) << part;
    EXPECT_EQ(xml.count("<interface name=\"org.freedesktop.DBus.Properties\">"), 1);
    const QString menuXml = Call(item->ServiceName(), StatusNotifierItem::kMenuPath,
                                 "org.freedesktop.DBus.Introspectable", "Introspect")
                                .arguments()
                                .value(0)
                                .toString();
    EXPECT_TRUE(menuXml.contains("<arg name=\"layout\" type=\"(ia{sv}av)\" direction=\"out\"/>"));

    // The clicks: Activate and ContextMenu reach the actions (after the
    // answer), the others nothing.
    for (const char* member : {"Activate", "SecondaryActivate", "ContextMenu", "Scroll"}) {
        const QVariantList args = QLatin1String(member) == QLatin1String("Scroll")
                                      ? QVariantList{3, QStringLiteral("vertical")}
                                      : QVariantList{40, 30};
        const QDBusMessage r = Call(item->ServiceName(), StatusNotifierItem::kItemPath, kItemIface, member, args);
        EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << member << ": " << r.errorMessage().toStdString();
    }
    RunFor(100);
    EXPECT_EQ(activations, 1);
    EXPECT_EQ(menuAt, QPoint(40, 30));
    EXPECT_EQ(Call(item->ServiceName(), StatusNotifierItem::kItemPath, kItemIface, "Activate", {1}).type(),
              QDBusMessage::ErrorMessage);

    // Gone with the item: the name and the objects.
    const QString service = item->ServiceName();
    item.reset();
    EXPECT_FALSE(NameHasOwner(service));
}

// Tells the test of the menu's LayoutUpdated signals.
class LayoutSignals : public QObject {
    Q_OBJECT
public:
    std::vector<uint> revisions;
public slots:
    void LayoutUpdated(uint revision, int) { revisions.push_back(revision); }
};

TEST_F(StatusNotifierTest, TheMenuShowsTheActionsAndClickedTriggersTheOnesThatCanAct) {
    QMenu menu;
    QAction* about = menu.addAction("About Kestrune");
    menu.addSeparator();
    QAction* odd = menu.addAction("Sa&ve_As && more");
    odd->setEnabled(false);
    QAction* hidden = menu.addAction("Hidden");
    hidden->setVisible(false);
    QAction* quit = menu.addAction("&Quit");
    int aboutShown = 0;
    QObject::connect(&menu, &QMenu::aboutToShow, [&] { ++aboutShown; });
    std::map<QAction*, int> triggered;
    for (QAction* a : menu.actions()) QObject::connect(a, &QAction::triggered, [&, a] { ++triggered[a]; });
    StatusNotifierItem item(server_, &menu, QIcon(), "Kestrune", {});
    ASSERT_TRUE(item.Exported());

    uint revision = 0;
    const Entry root = Layout(item, {}, &revision);
    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.props.value("children-display").toString(), "submenu");
    struct Want {
        const char* label;  // nullptr: a separator
        bool enabled;
        bool visible;
    };
    const Want want[] = {{"About Kestrune", true, true},
                         {nullptr, true, true},
                         {"Sa_ve__As & more", false, true},
                         {"Hidden", false, false},  // Qt disables what it hides
                         {"_Quit", true, true}};
    ASSERT_EQ(root.children.size(), std::size(want));
    std::set<int> ids;
    for (size_t i = 0; i < std::size(want); ++i) {
        const Entry& e = root.children[qsizetype(i)];
        ids.insert(e.id);
        EXPECT_GT(e.id, 0) << i;
        EXPECT_TRUE(e.children.isEmpty()) << i;
        EXPECT_EQ(e.props.value("visible").toBool(), want[i].visible) << i;
        if (!want[i].label) {
            EXPECT_EQ(e.props.value("type").toString(), "separator");
            EXPECT_FALSE(e.props.contains("label"));
            continue;
        }
        EXPECT_FALSE(e.props.contains("type")) << i;
        EXPECT_EQ(e.props.value("label").toString(), QString(want[i].label)) << i;
        EXPECT_EQ(e.props.value("enabled").toBool(), want[i].enabled) << i;
    }
    EXPECT_EQ(ids.size(), std::size(want)) << "each entry its own id";
    const int aboutId = root.children[0].id, separatorId = root.children[1].id, oddId = root.children[2].id,
              hiddenId = root.children[3].id, quitId = root.children[4].id;

    // Only the properties asked for; one entry; one property.
    const Entry labels = Layout(item, {"label"});
    EXPECT_EQ(labels.children[4].props.keys(), QStringList{"label"});
    const QDBusMessage one = MenuCall(item, "GetLayout", {quitId, 0, QStringList()});
    EXPECT_EQ(ReadLayout(qvariant_cast<QDBusArgument>(one.arguments().value(1))).props.value("label").toString(),
              "_Quit");
    EXPECT_EQ(qdbus_cast<QDBusVariant>(MenuCall(item, "GetProperty", {oddId, QStringLiteral("enabled")}).arguments().value(0))
                  .variant()
                  .toBool(),
              false);
    EXPECT_EQ(MenuCall(item, "GetLayout", {9999, 0, QStringList()}).type(), QDBusMessage::ErrorMessage);

    // "clicked" triggers what can act, after the answer; the others, and
    // events other than "clicked", do nothing.
    const auto event = [&](int id, const char* type) {
        return MenuCall(item, "Event", {id, QString(type), QVariant::fromValue(QDBusVariant(QString())), 0u});
    };
    EXPECT_EQ(event(aboutId, "clicked").type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(event(quitId, "hovered").type(), QDBusMessage::ReplyMessage);
    for (int id : {oddId, hiddenId, separatorId})
        EXPECT_EQ(event(id, "clicked").type(), QDBusMessage::ReplyMessage) << id;
    EXPECT_EQ(event(9999, "clicked").type(), QDBusMessage::ErrorMessage);
    RunFor(100);
    EXPECT_EQ(triggered, (std::map<QAction*, int>{{about, 1}}));

    // EventGroup: the unknown ids come back.
    qDBusRegisterMetaType<sn_test::Event>();
    qDBusRegisterMetaType<QList<sn_test::Event>>();
    const QList<sn_test::Event> events = {{quitId, "clicked", QDBusVariant(QString()), 0},
                                          {4242, "clicked", QDBusVariant(QString()), 0}};
    const QDBusMessage group = MenuCall(item, "EventGroup", {QVariant::fromValue(events)});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage) << group.errorMessage().toStdString();
    EXPECT_EQ(qdbus_cast<QList<int>>(group.arguments().value(0)), QList<int>{4242});
    RunFor(100);
    EXPECT_EQ(triggered, (std::map<QAction*, int>{{about, 1}, {quit, 1}}));

    // A host's AboutToShow brings the enabling up to date as opening the
    // menu does; a change since tells it to fetch the layout again.
    const int before = aboutShown;
    QDBusMessage shown = MenuCall(item, "AboutToShow", {0});
    EXPECT_EQ(shown.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(shown.arguments().value(0).toBool(), false);
    EXPECT_GT(aboutShown, before);
    QObject::connect(&menu, &QMenu::aboutToShow, [&] { odd->setEnabled(true); });
    shown = MenuCall(item, "AboutToShow", {0});
    EXPECT_EQ(shown.arguments().value(0).toBool(), true);
    EXPECT_EQ(MenuCall(item, "AboutToShow", {9999}).type(), QDBusMessage::ErrorMessage);

    // Changes to the actions reach the host as a new layout, once per turn of
    // the event loop.
    LayoutSignals heard;
    ASSERT_TRUE(client_.connect(item.ServiceName(), StatusNotifierItem::kMenuPath, kMenuIface, "LayoutUpdated",
                                &heard, SLOT(LayoutUpdated(uint, int))));
    RunFor(100);
    heard.revisions.clear();
    Layout(item, {}, &revision);
    about->setText("About it");
    menu.addAction("More");
    ASSERT_TRUE(RunUntil([&] { return !heard.revisions.empty(); }));
    RunFor(100);
    ASSERT_EQ(heard.revisions.size(), 1u);
    uint now = 0;
    const Entry changed = Layout(item, {}, &now);
    EXPECT_GT(heard.revisions[0], revision);
    EXPECT_EQ(now, heard.revisions[0]);
    EXPECT_EQ(changed.children.size(), 6);
    EXPECT_EQ(changed.children[0].id, aboutId) << "an entry keeps its id";
    EXPECT_EQ(changed.children[0].props.value("label").toString(), "About it");
}

TEST(StatusNotifierMenuLabel, QtMnemonicsBecomeUnderscores) {
    const std::pair<const char*, const char*> cases[] = {
        {"&Quit", "_Quit"},
        {"About Kestrune", "About Kestrune"},
        {"Select &All", "Select _All"},
        {"Salt && Pepper", "Salt & Pepper"},
        {"snake_case", "snake__case"},
        {"&&&x", "&_x"},
        {"trailing&", "trailing"},
        {"", ""},
    };
    for (const auto& [qt, dbusmenu] : cases) EXPECT_EQ(StatusNotifierMenuLabel(qt), QString(dbusmenu)) << qt;
}

}  // namespace

#include "test_status_notifier.moc"
