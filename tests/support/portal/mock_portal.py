#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# A stand-in for the desktop portal's RemoteDesktop interface, for tests on a private bus.
#
# Usage: mock_portal.py [--version N] [--start-response N] [--consent-delay-ms MS]
#
# Owns org.freedesktop.portal.Desktop on the session bus and serves
# /org/freedesktop/portal/desktop as the portal does: every call is answered by the Response
# signal of a Request object at .../request/SENDER/TOKEN, CreateSession's and SelectDevices'
# before the method's reply (the earliest a portal may), Start's after MS milliseconds (a
# person deciding) with the given code (0 granted, 1 cancelled). Sessions live at
# .../session/SENDER/TOKEN. From version 2 on, a granted Start of a session whose
# SelectDevices asked for a persist_mode returns a new restore_token. Notify* calls are
# refused unless their sender started their session.
#
# Standard output, one line per event:
#   ready                              the name is ours
#   call MEMBER KEY=VALUE... VALUE...  every call: options sorted, then the other values (%g,
#                                      strings with Python's escapes)
#   issued restore_token=TOKEN
#   refused MEMBER: WHY                a call the real portal would refuse
#   closed SESSION                     after SIGUSR1: every started session is closed
# SIGTERM or SIGINT ends it.

import argparse
import signal
import uuid

from gi.repository import Gio, GLib

OBJECT = "/org/freedesktop/portal/desktop"
PORTAL = "org.freedesktop.portal."
METHODS = {  # name: argument types in, and out
    "CreateSession": (["a{sv}"], "o"),
    "SelectDevices": (["o", "a{sv}"], "o"),
    "Start": (["o", "s", "a{sv}"], "o"),
    "NotifyPointerMotion": (["o", "a{sv}", "d", "d"], None),
    "NotifyPointerButton": (["o", "a{sv}", "i", "u"], None),
    "NotifyPointerAxisDiscrete": (["o", "a{sv}", "u", "i"], None),
    "NotifyKeyboardKeysym": (["o", "a{sv}", "i", "u"], None),
}
VERSION = '<property name="version" type="u" access="read"/>'


def interface(name, methods, more):
    args = lambda ins, out: "".join('<arg type="%s" direction="in"/>' % t for t in ins) + (
        '<arg type="%s" direction="out"/>' % out if out else "")
    return '<interface name="%s%s">%s%s</interface>' % (PORTAL, name, "".join(
        '<method name="%s">%s</method>' % (m, args(*a)) for m, a in methods.items()), more)


XML = "<node>%s%s%s</node>" % (
    interface("RemoteDesktop", METHODS, VERSION),
    interface("Request", {"Close": ([], None)},
              '<signal name="Response"><arg type="u"/><arg type="a{sv}"/></signal>'),
    interface("Session", {"Close": ([], None)},
              '<signal name="Closed"><arg type="a{sv}"/></signal>' + VERSION))


def emit(line):
    print(line, flush=True)


def show(value):
    return ("%g" % value if isinstance(value, float)
            else str(value).encode("unicode_escape").decode())


class Portal:
    def __init__(self, bus, args):
        self.bus, self.args = bus, args
        self.interfaces = Gio.DBusNodeInfo.new_for_xml(XML).interfaces
        # path -> {"owner", "started", "persist", "id"}, and path -> registration id
        self.sessions, self.requests = {}, {}
        self.export(OBJECT, 0, self.on_call)

    def export(self, path, interface, on_call):
        return self.bus.register_object(path, self.interfaces[interface], on_call,
                                        lambda *_: GLib.Variant("u", self.args.version), None)

    def path(self, kind, sender, token):
        return "%s/%s/%s/%s" % (OBJECT, kind, sender[1:].replace(".", "_"), token)

    def respond(self, sender, request, code, results):
        self.bus.emit_signal(sender, request, PORTAL + "Request", "Response",
                             GLib.Variant("(ua{sv})", (code, results)))
        self.bus.unregister_object(self.requests.pop(request))

    def on_call(self, bus, sender, path, interface, member, parameters, invocation):
        values = parameters.unpack()
        options = next(v for v in values if isinstance(v, dict))
        others = [show(v) for v in values[1:] if not isinstance(v, dict)]
        emit(" ".join(["call", member] + ["%s=%s" % (k, show(options[k])) for k in sorted(options)]
                      + others))
        session = self.sessions.get(values[0]) if member != "CreateSession" else None
        why = None if member == "CreateSession" else (
            "no such session" if session is None else
            "session of another client" if session["owner"] != sender else
            "session not started" if member.startswith("Notify") and not session["started"]
            else None)
        if why:
            emit("refused %s: %s" % (member, why))
            return invocation.return_dbus_error("org.freedesktop.DBus.Error.AccessDenied", why)
        if member.startswith("Notify"):
            return invocation.return_value(None)
        request = self.path("request", sender, options["handle_token"])
        self.requests[request] = self.export(request, 1, self.on_close)
        if member == "CreateSession":
            handle = self.path("session", sender, options["session_handle_token"])
            self.sessions[handle] = {"owner": sender, "started": False, "persist": False,
                                     "id": self.export(handle, 2, self.on_close)}
            # The real portal hands the session handle over as a string.
            self.respond(sender, request, 0, {"session_handle": GLib.Variant("s", handle)})
        elif member == "SelectDevices":
            session["persist"] = self.args.version >= 2 and options.get("persist_mode", 0) != 0
            self.respond(sender, request, 0, {})
        else:
            GLib.timeout_add(self.args.consent_delay_ms, self.decide, sender, request, session)
        invocation.return_value(GLib.Variant("(o)", (request,)))

    def decide(self, sender, request, session):
        if request in self.requests:  # not closed meanwhile
            results = {}
            if self.args.start_response == 0:
                session["started"] = True
                results["devices"] = GLib.Variant("u", 3)
                if session["persist"]:
                    token = uuid.uuid4().hex
                    results["restore_token"] = GLib.Variant("s", token)
                    emit("issued restore_token=" + token)
            self.respond(sender, request, self.args.start_response, results)
        return GLib.SOURCE_REMOVE

    def on_close(self, bus, sender, path, interface, member, parameters, invocation):
        emit("call %s.Close" % interface.rsplit(".", 1)[1])
        if path in self.requests:
            bus.unregister_object(self.requests.pop(path))
        self.close(path, notify=False)
        invocation.return_value(None)

    def close(self, path, notify):
        session = self.sessions.pop(path, None)
        if session:
            self.bus.unregister_object(session["id"])
        if session and notify:
            self.bus.emit_signal(session["owner"], path, PORTAL + "Session", "Closed",
                                 GLib.Variant("(a{sv})", ({},)))
            emit("closed " + path)

    def close_started(self):
        for path in [p for p, s in self.sessions.items() if s["started"]]:
            self.close(path, notify=True)
        return GLib.SOURCE_CONTINUE


parser = argparse.ArgumentParser()
for option, default in (("--version", 1), ("--start-response", 0), ("--consent-delay-ms", 0)):
    parser.add_argument(option, type=int, default=default)
args = parser.parse_args()
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
portal = Portal(bus, args)
loop = GLib.MainLoop()
Gio.bus_own_name_on_connection(bus, PORTAL + "Desktop", Gio.BusNameOwnerFlags.NONE,
                               lambda *_: emit("ready"), lambda *_: loop.quit())
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, portal.close_started)
for stop in (signal.SIGTERM, signal.SIGINT):
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, stop, lambda: loop.quit() or False)
loop.run()
