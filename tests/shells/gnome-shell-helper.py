#!/usr/bin/python3
"""What GNOME Shell needs around it in the test, over D-Bus.

  gnome-shell-helper.py login1          a stand-in for systemd-logind on the (private) system bus:
                                        one active session, and the sleep inhibitor the shell takes
  gnome-shell-helper.py screenshot FILE the shell's own screenshot of all monitors, as the
                                        screenshot tool it lets take one (by its bus name)
"""
import os
import sys

from gi.repository import Gio, GLib

LOGIN1 = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="ListSessions"><arg type="a(susso)" direction="out"/></method>
    <method name="Inhibit">
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="h" direction="out"/>
    </method>
    <method name="CanSuspend"><arg type="s" direction="out"/></method>
    <method name="CanHibernate"><arg type="s" direction="out"/></method>
    <method name="CanHybridSleep"><arg type="s" direction="out"/></method>
    <method name="CanSuspendThenHibernate"><arg type="s" direction="out"/></method>
    <method name="CanPowerOff"><arg type="s" direction="out"/></method>
    <method name="CanReboot"><arg type="s" direction="out"/></method>
    <signal name="PrepareForSleep"><arg type="b"/></signal>
    <signal name="PrepareForShutdown"><arg type="b"/></signal>
  </interface>
  <interface name="org.freedesktop.login1.Session">
    <method name="Activate"/>
    <method name="Lock"/>
    <method name="Unlock"/>
    <method name="SetLockedHint"><arg type="b" direction="in"/></method>
    <method name="SetIdleHint"><arg type="b" direction="in"/></method>
    <method name="TakeControl"><arg type="b" direction="in"/></method>
    <property name="Id" type="s" access="read"/>
    <property name="Active" type="b" access="read"/>
    <property name="LockedHint" type="b" access="read"/>
    <property name="Class" type="s" access="read"/>
    <property name="Type" type="s" access="read"/>
    <property name="State" type="s" access="read"/>
    <property name="Remote" type="b" access="read"/>
    <signal name="Lock"/>
    <signal name="Unlock"/>
  </interface>
</node>
"""
SESSION = "/org/freedesktop/login1/session/test"


def login1():
    node = Gio.DBusNodeInfo.new_for_xml(LOGIN1)
    inhibitors = []

    def manager_call(connection, sender, path, interface, method, parameters, invocation):
        if method in ("GetSession", "GetSessionByPID"):
            invocation.return_value(GLib.Variant("(o)", (SESSION,)))
        elif method == "ListSessions":
            invocation.return_value(GLib.Variant(
                "(a(susso))", ([("test", os.getuid(), "user", "seat0", SESSION)],)))
        elif method == "Inhibit":
            # The caller holds the read end; the inhibitor ends when it closes it.
            read_end, write_end = os.pipe()
            inhibitors.append(write_end)
            fds = Gio.UnixFDList.new_from_array([read_end])
            invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)
        elif method.startswith("Can"):
            invocation.return_value(GLib.Variant("(s)", ("na",)))
        else:
            invocation.return_value(None)

    def session_call(connection, sender, path, interface, method, parameters, invocation):
        invocation.return_value(None)

    session_properties = {
        "Id": GLib.Variant("s", "test"), "Active": GLib.Variant("b", True),
        "LockedHint": GLib.Variant("b", False), "Class": GLib.Variant("s", "user"),
        "Type": GLib.Variant("s", "wayland"), "State": GLib.Variant("s", "active"),
        "Remote": GLib.Variant("b", False),
    }

    def session_property(connection, sender, path, interface, name):
        return session_properties[name]

    def acquired(connection, name):
        connection.register_object("/org/freedesktop/login1", node.interfaces[0],
                                   manager_call, None, None)
        connection.register_object(SESSION, node.interfaces[1], session_call,
                                   session_property, None)

    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    Gio.bus_own_name_on_connection(bus, "org.freedesktop.login1", 0, None, None)
    acquired(bus, None)
    GLib.MainLoop().run()


def screenshot(filename):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    loop = GLib.MainLoop()
    result = {}

    def owned(connection, name):
        try:
            reply = bus.call_sync("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                                  "org.gnome.Shell.Screenshot", "Screenshot",
                                  GLib.Variant("(bbs)", (False, False, filename)),
                                  GLib.VariantType("(bs)"), Gio.DBusCallFlags.NONE, 20000, None)
            result["ok"] = reply.unpack()[0]
        except GLib.Error as error:
            print(error.message, file=sys.stderr)
        loop.quit()

    Gio.bus_own_name_on_connection(bus, "org.gnome.Screenshot", 0, owned, None)
    GLib.timeout_add_seconds(30, loop.quit)
    loop.run()
    return 0 if result.get("ok") else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["login1"]:
        login1()
    elif sys.argv[1:2] == ["screenshot"] and len(sys.argv) == 3:
        sys.exit(screenshot(sys.argv[2]))
    else:
        sys.exit(__doc__)
