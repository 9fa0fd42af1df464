#include "SingleInstance.h"

#include "Application.h"
#include "Menu.h"
#include "Runtime.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QVariantMap>

#include <cstdlib>
#include <string>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#if defined(KESTRUNE_HAVE_XCB)
#include <xcb/xcb.h>
#endif

namespace {

const char* const kAppId = "example.kestrune.Kestrune";
const char* const kObjectPath = "/example/kestrune/Kestrune";
const char* const kInterface = "org.freedesktop.Application";
// How long a second launch keeps trying to reach the running copy, and how
// long it waits for the copy's answer.
constexpr int kHandOverMs = 1500;

std::string Sanitise(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        out += plain ? ch : '_';
    }
    return out;
}

// $XDG_RUNTIME_DIR, or a folder of the user's own in /tmp; empty when
// neither is to be had.
std::string RuntimeFolder() {
#if defined(Q_OS_UNIX)
    const char* env = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (env && env[0] == '/' && ::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return env;
    const std::string dir = "/tmp/kestrune-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077))
        return {};
    return dir;
#else
    return {};
#endif
}

// Answers Activate on the bus: the reply at once, the window from the event
// loop.
class BusObject : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.freedesktop.Application\">"
            "<method name=\"Activate\"><arg type=\"a{sv}\" name=\"platform_data\" direction=\"in\"/></method>"
            "</interface>");
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage || message.member() != QLatin1String("Activate"))
            return false;
        if (!message.interface().isEmpty() && message.interface() != QLatin1String(kInterface)) return false;
        connection.send(message.createReply());
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { SingleInstanceShowMainWindow(); },
                                  Qt::QueuedConnection);
        return true;
    }
};

struct Instance {
    int lockFd = -1;
    QLocalServer* server = nullptr;
    BusObject* busObject = nullptr;
    QString busName;
};
Instance* g_instance = nullptr;

QString BusName(const std::string& key) { return QString::fromLatin1(kAppId) + '.' + QString::fromStdString(key); }

// Asks the copy that owns the bus name to show its window; false when no
// copy owns it.
bool AskOverBus(const QDBusConnection& bus, const QString& name) {
    if (!bus.isConnected() || !bus.interface()) return false;
    if (!bus.interface()->isServiceRegistered(name).value()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(name, kObjectPath, kInterface, "Activate");
    call << QVariantMap();
    const QDBusMessage reply = bus.call(call, QDBus::Block, kHandOverMs);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    // No answer in time: the owner is there but busy, and gets the call.
    const QString error = reply.errorName();
    return error != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") &&
           error != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// Asks the copy that listens on the socket; false when none listens.
bool AskOverSocket(const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(300)) return false;
    socket.write("activate\n");
    socket.waitForBytesWritten(kHandOverMs);
    // The running copy answers once its event loop turns.
    socket.waitForReadyRead(kHandOverMs);
    return true;
}

void Serve(QLocalServer* server) {
    while (QLocalSocket* peer = server->nextPendingConnection()) {
        QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        QObject::connect(peer, &QLocalSocket::readyRead, peer, [peer] {
            if (!peer->canReadLine()) {
                if (peer->bytesAvailable() > 64) peer->abort();
                return;
            }
            const QByteArray line = peer->readLine().trimmed();
            if (line == "activate") {
                peer->write("ok\n");
                peer->flush();
                SingleInstanceShowMainWindow();
            }
            peer->disconnectFromServer();
        });
    }
}

// Takes the place with the lock held: the socket, and the bus name where
// there is a bus. False when another copy owns the bus name.
bool BecomeRunning(int lockFd, const QString& socketPath, QDBusConnection& bus, const QString& busName) {
    auto* inst = new Instance;
    inst->lockFd = lockFd;
    g_instance = inst;
    // Whatever socket is there was left by a copy that is gone: the lock is ours.
    QLocalServer::removeServer(socketPath);
    inst->server = new QLocalServer;
    inst->server->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(inst->server, &QLocalServer::newConnection, inst->server, [server = inst->server] { Serve(server); });
    if (!inst->server->listen(socketPath)) RuntimeReport("cannot listen on " + socketPath.toStdString());
    if (bus.isConnected()) {
        inst->busObject = new BusObject;
        bus.registerVirtualObject(kObjectPath, inst->busObject);
        if (bus.registerService(busName)) {
            inst->busName = busName;
        } else if (bus.interface() && bus.interface()->isServiceRegistered(busName).value()) {
            SingleInstanceStop();
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SingleInstanceDisplayKey() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) {
#if defined(KESTRUNE_HAVE_XCB)
        char* host = nullptr;
        int display = 0, screen = 0;
        if (xcb_parse_display(nullptr, &host, &display, &screen)) {
            std::string h = host ? host : "";
            std::free(host);
            if (h == "unix") h.clear();
            return Sanitise("x11_" + (h.empty() ? std::string() : h + "_") + std::to_string(display));
        }
#endif
        return "x11_" + Sanitise(qEnvironmentVariable("DISPLAY").toStdString());
    }
    if (platform.startsWith(QLatin1String("wayland"))) {
        const QString name = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
        return "wayland_" + Sanitise(name.toStdString());
    }
    return Sanitise(platform.toStdString());
}

InstanceRole SingleInstanceStart() {
#if defined(Q_OS_UNIX)
    if (g_instance) return InstanceRole::Running;
    const std::string dir = RuntimeFolder();
    if (dir.empty()) return InstanceRole::Only;
    const std::string key = SingleInstanceDisplayKey();
    const std::string base = dir + "/" + kAppId + "." + key;
    const QString socketPath = QString::fromStdString(base + ".socket");
    if (socketPath.toUtf8().size() >= 100) return InstanceRole::Only;  // beyond a socket address
    const int lockFd = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) return InstanceRole::Only;
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString busName = BusName(key);

    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
            // The place here is free; a copy started with another runtime
            // folder may still own the bus name.
            if (AskOverBus(bus, busName)) {
                ::close(lockFd);
                return InstanceRole::HandedOver;
            }
            if (BecomeRunning(lockFd, socketPath, bus, busName)) return InstanceRole::Running;
            // Another copy took the bus name meanwhile (the lock went with
            // the place).
            AskOverBus(bus, busName);
            return InstanceRole::HandedOver;
        }
        if (AskOverBus(bus, busName) || AskOverSocket(socketPath)) break;
        if (clock.elapsed() > kHandOverMs) {
            RuntimeReport("another copy is running but does not answer");
            break;
        }
        // The running copy is between taking the lock and listening, or is
        // going: try again.
        QThread::msleep(100);
    }
    ::close(lockFd);
    return InstanceRole::HandedOver;
#else
    return InstanceRole::Only;
#endif
}

void SingleInstanceStop() {
    Instance* inst = std::exchange(g_instance, nullptr);
    if (!inst) return;
    if (inst->busObject) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!inst->busName.isEmpty()) bus.unregisterService(inst->busName);
        bus.unregisterObject(kObjectPath);
        delete inst->busObject;
    }
    delete inst->server;  // closing removes the socket file
#if defined(Q_OS_UNIX)
    if (inst->lockFd >= 0) ::close(inst->lockFd);
#endif
    delete inst;
}

void SingleInstanceShowMainWindow() {
    Ref<Object> obj = GetAppObject();
    auto* app = dynamic_cast<Application*>(obj.get());
    if (!app) return;
    Ref<MenuItem> about = FindMenuItemOfClass(app->MenuBar(), AppleMenuItem::Class());
    if (!about) return;
    RuntimeRaiseEvent([&] { about->Choose(); });
}
