#!/usr/bin/python3
# The peers' side of the benchmarks: on the message bus at ADDRESS, owns
# the names PREFIX000000 ... for N names, each answering Echo(i, s) with its
# arguments, as the echo services of service-host do. Prints "ready" once it
# owns them all.
#
#   peer.py ADDRESS N [PREFIX]
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "quellix.bench.Echo"


class Echo(dbus.service.Object):
    @dbus.service.method(INTERFACE, in_signature="is", out_signature="is")
    def Echo(self, number, text):
        return number, text


def main():
    address, count = sys.argv[1], int(sys.argv[2])
    prefix = sys.argv[3] if len(sys.argv) > 3 else "bench.s"
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    for i in range(count):
        name = "%s%06d" % (prefix, i)
        if bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
            sys.exit("peer.py: could not own " + name)
    Echo(bus, "/")
    print("ready", flush=True)
    GLib.MainLoop().run()


main()
