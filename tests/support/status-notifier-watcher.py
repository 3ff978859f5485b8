#!/usr/bin/python3
"""A StatusNotifierWatcher for the KDE test desktop, which runs without plasmashell.

Qt shows a tray icon only when org.kde.StatusNotifierWatcher is on the session bus and its
IsStatusNotifierHostRegistered property, read through introspection, is true. Items that register are
accepted; no test reads them back.
"""

from gi.repository import Gio, GLib

INTERFACE = "org.kde.StatusNotifierWatcher"
XML = f"""<node><interface name="{INTERFACE}">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
</interface></node>"""
PROPERTIES = {
    "RegisteredStatusNotifierItems": GLib.Variant("as", []),
    "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
    "ProtocolVersion": GLib.Variant("i", 0),
}


def main():
    loop = GLib.MainLoop()
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    connection.set_exit_on_close(False)
    connection.connect("closed", lambda *_: loop.quit())
    connection.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0],
                               lambda *call: call[-1].return_value(None),
                               lambda *get: PROPERTIES.get(get[-1]), None)
    Gio.bus_own_name_on_connection(connection, INTERFACE, Gio.BusNameOwnerFlags.NONE, None, None)
    loop.run()


if __name__ == "__main__":
    main()
