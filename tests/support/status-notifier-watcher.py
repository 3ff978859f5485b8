#!/usr/bin/python3
"""A minimal StatusNotifierWatcher for the KDE test desktop, which runs without plasmashell.

Qt shows a tray icon only when org.kde.StatusNotifierWatcher is on the session bus and its
IsStatusNotifierHostRegistered property, read through introspection, is true. This watcher
keeps the list of registered items (dropping those whose owner leaves the bus) and emits the
watcher's signals, so a test can see that the program's item arrived.
"""

import sys

from gi.repository import Gio, GLib

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierItemUnregistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""

INTERFACE = "org.kde.StatusNotifierWatcher"
PATH = "/StatusNotifierWatcher"


class Watcher:
    def __init__(self, connection, loop):
        self.connection = connection
        self.loop = loop
        self.items = []  # "bus name/object path" or a bus name, as items register
        self.owner_watches = {}  # bus name -> watch id
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
        connection.register_object(PATH, info, self.on_call, self.on_get_property, None)

    def emit(self, name, parameters=None):
        self.connection.emit_signal(None, PATH, INTERFACE, name, parameters)

    def emit_items_changed(self):
        changed = {"RegisteredStatusNotifierItems": GLib.Variant("as", self.items)}
        self.connection.emit_signal(
            None, PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
            GLib.Variant("(sa{sv}as)", (INTERFACE, changed, [])))

    def watch_owner(self, bus_name):
        if bus_name in self.owner_watches:
            return
        self.owner_watches[bus_name] = Gio.bus_watch_name_on_connection(
            self.connection, bus_name, Gio.BusNameWatcherFlags.NONE, None, self.on_owner_vanished)

    def on_owner_vanished(self, _connection, bus_name):
        Gio.bus_unwatch_name(self.owner_watches.pop(bus_name))
        gone = [item for item in self.items if item == bus_name or item.startswith(bus_name + "/")]
        self.items = [item for item in self.items if item not in gone]
        for item in gone:
            self.emit("StatusNotifierItemUnregistered", GLib.Variant("(s)", (item,)))
        if gone:
            self.emit_items_changed()

    def on_call(self, _connection, sender, _path, _interface, method, parameters, invocation):
        (service,) = parameters.unpack()
        if method == "RegisterStatusNotifierItem":
            # An item names either its bus name or, as Qt does, its object path on the caller's connection.
            if service.startswith("/"):
                bus_name, item = sender, sender + service
            else:
                bus_name, item = service, service
            self.watch_owner(bus_name)
            if item not in self.items:
                self.items.append(item)
                self.emit("StatusNotifierItemRegistered", GLib.Variant("(s)", (item,)))
                self.emit_items_changed()
        elif method == "RegisterStatusNotifierHost":
            self.emit("StatusNotifierHostRegistered")
        invocation.return_value(None)

    def on_get_property(self, _connection, _sender, _path, _interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", self.items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None


def main():
    loop = GLib.MainLoop()
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    connection.set_exit_on_close(False)
    connection.connect("closed", lambda *_: loop.quit())
    watcher = Watcher(connection, loop)
    status = 0

    def on_name_lost(*_):
        nonlocal status
        print("status-notifier-watcher.py: org.kde.StatusNotifierWatcher is taken", file=sys.stderr)
        status = 1
        loop.quit()

    Gio.bus_own_name_on_connection(connection, INTERFACE, Gio.BusNameOwnerFlags.NONE, None, on_name_lost)
    loop.run()
    del watcher
    return status


if __name__ == "__main__":
    sys.exit(main())
