#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Puts TEXT on a headless mutter's clipboard, as a person's earlier copy, and serves it.
#
# Usage: mutter_clipboard_owner.py TEXT   (under tests/scripts/with_mutter.sh)
#
# A remote-desktop session of its own on mutter's session bus owns the selection (text/plain
# and text/plain;charset=utf-8) and writes TEXT for every transfer mutter asks for. Prints
# "ready" once mutter has made it the owner; runs until killed.

import os
import sys

from gi.repository import Gio, GLib

SERVICE = "org.gnome.Mutter.RemoteDesktop"
SESSION = SERVICE + ".Session"


def main():
    text = sys.argv[1].encode()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    def call(path, interface, member, args=None):
        return bus.call_with_unix_fd_list_sync(SERVICE, path, interface, member, args, None, 0,
                                               -1, None, None)

    session = call("/org/gnome/Mutter/RemoteDesktop", SERVICE, "CreateSession")[0].unpack()[0]

    def on_signal(_bus, _sender, _path, _interface, name, parameters):
        if name != "SelectionTransfer":
            return
        _mime, serial = parameters.unpack()
        reply, fds = call(session, SESSION, "SelectionWrite", GLib.Variant("(u)", (serial,)))
        fd = fds.get(reply.unpack()[0])
        os.write(fd, text)
        os.close(fd)
        call(session, SESSION, "SelectionWriteDone", GLib.Variant("(ub)", (serial, True)))

    bus.signal_subscribe(SERVICE, SESSION, None, session, None, Gio.DBusSignalFlags.NONE,
                         on_signal)
    call(session, SESSION, "Start")
    call(session, SESSION, "EnableClipboard", GLib.Variant("(a{sv})", ({},)))
    types = GLib.Variant("as", ["text/plain;charset=utf-8", "text/plain"])
    call(session, SESSION, "SetSelection", GLib.Variant("(a{sv})", ({"mime-types": types},)))
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
