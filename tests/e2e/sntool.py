#!/usr/bin/python3
"""A StatusNotifier host for the end-to-end tests, and a client of its items.

  sntool.py watcher LOG      runs org.kde.StatusNotifierWatcher on the session
                             bus (and claims a host name, so that items see a
                             host); logs "registered SERVICE PATH" and
                             "unregistered SERVICE PATH", one line each, with
                             the wall-clock time first
  sntool.py items            the registered items, "SERVICE PATH" a line
  sntool.py prop ITEM NAME   one property of the item (ITEM is "SERVICE PATH")
  sntool.py activate ITEM    calls Activate(0, 0) on the item
  sntool.py menu ITEM        the labels of the item's menu, one a line
                             ("-" for a separator)
  sntool.py click ITEM LABEL sends "clicked" for the menu entry with LABEL

Runs with Debian's python3 (python3-dbus, python3-gi). Every call is bounded.
"""
import os
import sys
import time

import dbus
import dbus.service

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_IFACE = "org.kde.StatusNotifierItem"
MENU_IFACE = "com.canonical.dbusmenu"
TIMEOUT = 5
INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <method name="ListItems"><arg type="as" direction="out"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""


def bus():
    return dbus.SessionBus()


def split_item(item):
    service, _, path = item.partition(" ")
    return service, path or "/StatusNotifierItem"


def run_watcher(log_path):
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    session = bus()
    log = open(log_path, "a", buffering=1)

    def note(what, item):
        log.write("%.3f %s %s\n" % (time.time(), what, item))

    class Watcher(dbus.service.Object):
        def __init__(self):
            super().__init__(session, WATCHER_PATH)
            self.items = []  # "SERVICE PATH"

        @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            if service.startswith("/"):
                service, path = sender, service
            else:
                path = "/StatusNotifierItem"
            item = "%s %s" % (service, path)
            if item not in self.items:
                self.items.append(item)
                note("registered", item)
                self.StatusNotifierItemRegistered("%s%s" % (service, path))
                owner = service if service.startswith(":") else session.get_name_owner(service)

                def gone(new_owner, item=item):
                    if new_owner == "" and item in self.items:
                        self.items.remove(item)
                        note("unregistered", item)
                        self.StatusNotifierItemUnregistered(item.replace(" ", ""))

                session.watch_name_owner(owner, gone)

        @dbus.service.method(WATCHER, in_signature="s")
        def RegisterStatusNotifierHost(self, service):
            pass

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemRegistered(self, item):
            pass

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemUnregistered(self, item):
            pass

        @dbus.service.signal(WATCHER, signature="")
        def StatusNotifierHostRegistered(self):
            pass

        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
        def Get(self, iface, name):
            return self.GetAll(iface)[name]

        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
        def GetAll(self, iface):
            return {
                "RegisteredStatusNotifierItems": dbus.Array(
                    [i.replace(" ", "") for i in self.items], signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True),
                "ProtocolVersion": dbus.Int32(0),
            }

        # Qt reads the properties through an interface it builds from this.
        @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s")
        def Introspect(self):
            return INTROSPECTION

        @dbus.service.method(WATCHER, out_signature="as")
        def ListItems(self):  # for the tests: "SERVICE PATH" a line
            return self.items

    watcher = Watcher()
    # A host name, as a panel would own, before the watcher's own name: an
    # item that looks for a host finds one as soon as the watcher appears.
    host = dbus.service.BusName("org.kde.StatusNotifierHost-%d" % os.getpid(), session)
    name = dbus.service.BusName(WATCHER, session, do_not_queue=True)
    watcher.StatusNotifierHostRegistered()
    note("watcher", name.get_name())
    watcher.names = (host, name)  # kept: a BusName gives its name up when it goes
    GLib.MainLoop().run()


def watcher_call(method):
    proxy = bus().get_object(WATCHER, WATCHER_PATH)
    return getattr(proxy, method)(dbus_interface=WATCHER, timeout=TIMEOUT)


def item_proxy(item):
    service, path = split_item(item)
    return bus().get_object(service, path)


def menu_layout(item):
    proxy = item_proxy(item)
    menu_path = proxy.Get(ITEM_IFACE, "Menu", dbus_interface=dbus.PROPERTIES_IFACE, timeout=TIMEOUT)
    service, _ = split_item(item)
    menu = bus().get_object(service, menu_path)
    _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=MENU_IFACE, timeout=TIMEOUT)
    return menu, layout


def entries(layout):
    for child in layout[2]:
        ident, props, _ = child
        if props.get("visible", True) is False:
            continue
        if props.get("type", "") == "separator":
            yield ident, "-"
        else:
            yield ident, str(props.get("label", ""))


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    if cmd == "watcher":
        run_watcher(argv[2])
    elif cmd == "items":
        for item in watcher_call("ListItems"):
            print(item)
    elif cmd == "prop":
        value = item_proxy(argv[2]).Get(ITEM_IFACE, argv[3], dbus_interface=dbus.PROPERTIES_IFACE, timeout=TIMEOUT)
        print(value)
    elif cmd == "activate":
        item_proxy(argv[2]).Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM_IFACE, timeout=TIMEOUT)
    elif cmd == "menu":
        _, layout = menu_layout(argv[2])
        for _, label in entries(layout):
            print(label)
    elif cmd == "click":
        menu, layout = menu_layout(argv[2])
        for ident, label in entries(layout):
            if label.replace("_", "").replace("&", "") == argv[3]:
                menu.Event(dbus.Int32(ident), "clicked", dbus.String("", variant_level=1),
                           dbus.UInt32(int(time.time())), dbus_interface=MENU_IFACE, timeout=TIMEOUT)
                return 0
        print("no entry %r" % argv[3], file=sys.stderr)
        return 1
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
