#!/usr/bin/python3
"""A stand-in for Cinnamon's session manager on the session bus: the session is running.

cinnamon-settings-daemon's background plugin draws only once the session manager says so
(IsSessionRunning, or the SessionRunning signal), and registers itself as a session client.
"""
from gi.repository import Gio, GLib

INTERFACES = """
<node>
  <interface name="org.gnome.SessionManager">
    <method name="IsSessionRunning"><arg type="b" direction="out"/></method>
    <method name="RegisterClient">
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="Setenv"><arg type="s" direction="in"/><arg type="s" direction="in"/></method>
    <signal name="SessionRunning"/>
  </interface>
  <interface name="org.gnome.SessionManager.ClientPrivate">
    <method name="EndSessionResponse">
      <arg type="b" direction="in"/><arg type="s" direction="in"/>
    </method>
  </interface>
</node>
"""
CLIENT = "/org/gnome/SessionManager/Client1"


def main():
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACES)
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    def call(connection, sender, path, interface, method, parameters, invocation):
        if method == "IsSessionRunning":
            invocation.return_value(GLib.Variant("(b)", (True,)))
        elif method == "RegisterClient":
            invocation.return_value(GLib.Variant("(o)", (CLIENT,)))
        else:
            invocation.return_value(None)

    bus.register_object("/org/gnome/SessionManager", node.interfaces[0], call, None, None)
    bus.register_object(CLIENT, node.interfaces[1], call, None, None)
    Gio.bus_own_name_on_connection(bus, "org.gnome.SessionManager", 0, None, None)

    # Whoever started listening late still hears that the session runs.
    def running():
        bus.emit_signal(None, "/org/gnome/SessionManager", "org.gnome.SessionManager",
                        "SessionRunning", None)
        return True

    GLib.timeout_add_seconds(1, running)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
