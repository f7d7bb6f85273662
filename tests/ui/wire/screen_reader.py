#!/usr/bin/python3
"""Reads a program's windows as a screen reader does, over the AT-SPI bus.

    screen_reader.py APP list          one line per object: ROLE|NAME|DESCRIPTION
    screen_reader.py APP press NAME    does the first action of the object named NAME

APP is the application's name on the bus (the program's name). Exits 1 when
the application or the object is not (yet) there, so that a test can wait.
"""
import sys

import dbus

ACCESSIBLE = "org.a11y.atspi.Accessible"


def a11y_bus():
    session = dbus.SessionBus()
    address = session.get_object("org.a11y.Bus", "/org/a11y/bus").GetAddress(dbus_interface="org.a11y.Bus")
    return dbus.bus.BusConnection(str(address))


def prop(bus, ref, name):
    obj = bus.get_object(ref[0], ref[1])
    return str(obj.Get(ACCESSIBLE, name, dbus_interface="org.freedesktop.DBus.Properties"))


def children(bus, ref):
    obj = bus.get_object(ref[0], ref[1])
    return [(str(n), str(p)) for n, p in obj.GetChildren(dbus_interface=ACCESSIBLE)]


# Their cells are many and read slowly over the bus: the containers are
# listed, their cells are not.
NOT_INTO = {"table", "tree", "tree table", "list"}


def walk(bus, ref, depth=0):
    # Deep enough for the console's windows; a bound against a cycle.
    if depth > 40:
        return
    yield ref
    if str(bus.get_object(*ref).GetRoleName(dbus_interface=ACCESSIBLE)) in NOT_INTO:
        return
    for child in children(bus, ref):
        yield from walk(bus, child, depth + 1)


def main():
    app_name, command = sys.argv[1], sys.argv[2]
    bus = a11y_bus()
    root = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
    apps = [a for a in children(bus, root) if prop(bus, a, "Name") == app_name]
    if not apps:
        print(f"no application {app_name} on the bus", file=sys.stderr)
        return 1
    for ref in walk(bus, apps[0]):
        name = prop(bus, ref, "Name")
        if command == "list":
            role = str(bus.get_object(*ref).GetRoleName(dbus_interface=ACCESSIBLE))
            description = prop(bus, ref, "Description")
            print(f"{role}|{name}|{description}".replace("\n", " "))
        elif command == "press" and name == sys.argv[3]:
            bus.get_object(*ref).DoAction(0, dbus_interface="org.a11y.atspi.Action")
            return 0
    if command == "press":
        print(f"nothing named {sys.argv[3]}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except dbus.exceptions.DBusException as e:
        print(e, file=sys.stderr)
        sys.exit(1)
