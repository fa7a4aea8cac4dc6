#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A stand-in for the desktop portal's RemoteDesktop interface, for tests on a private bus.

Usage: mock_portal.py [--version N] [--start-response N] [--consent-delay-ms MS]

Owns org.freedesktop.portal.Desktop on the session bus (DBUS_SESSION_BUS_ADDRESS), waiting
for an earlier owner to leave, and serves /org/freedesktop/portal/desktop as the portal
does: Request objects at .../request/SENDER/TOKEN whose Response signal answers each call,
Session objects at .../session/SENDER/TOKEN with Close and the Closed signal. Responses to
CreateSession and SelectDevices are sent before the method's reply, the earliest a real
portal may send them; Start's after MS milliseconds (a person deciding), with the given
response code (0 granted, 1 cancelled, 2 other). From version 2 on, SelectDevices takes
persist_mode and restore_token, and a granted Start with persist_mode returns a new
restore_token. Notify* calls are refused unless their session was started by their sender.

Standard output, one line per event:
  ready                                 the name is ours
  call CreateSession KEY=VALUE...       every call, options sorted, then positional values
  call NotifyPointerMotion 3 -3         (numbers as %g)
  issued restore_token=TOKEN
  refused MEMBER: WHY                   a call the real portal would refuse
  closed SESSION                        after SIGUSR1: every started session is closed
SIGTERM or SIGINT ends it.
"""

import argparse
import signal
import sys
import uuid

from gi.repository import Gio, GLib

BUS_NAME = "org.freedesktop.portal.Desktop"
OBJECT = "/org/freedesktop/portal/desktop"

XML = """
<node>
  <interface name="org.freedesktop.portal.RemoteDesktop">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="SelectDevices">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="NotifyPointerMotion">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="d" direction="in"/><arg type="d" direction="in"/>
    </method>
    <method name="NotifyPointerButton">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="i" direction="in"/><arg type="u" direction="in"/>
    </method>
    <method name="NotifyPointerAxisDiscrete">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="u" direction="in"/><arg type="i" direction="in"/>
    </method>
    <method name="NotifyKeyboardKeysym">
      <arg type="o" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="i" direction="in"/><arg type="u" direction="in"/>
    </method>
    <property name="AvailableDeviceTypes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
    <signal name="Response">
      <arg type="u" name="response"/>
      <arg type="a{sv}" name="results"/>
    </signal>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed">
      <arg type="a{sv}" name="details"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
</node>
"""


def emit(line):
    print(line, flush=True)


def show(value):
    if isinstance(value, float):
        return "%g" % value
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


class Portal:
    def __init__(self, bus, args):
        self.bus = bus
        self.args = args
        info = Gio.DBusNodeInfo.new_for_xml(XML)
        self.remote_desktop = info.lookup_interface("org.freedesktop.portal.RemoteDesktop")
        self.request_interface = info.lookup_interface("org.freedesktop.portal.Request")
        self.session_interface = info.lookup_interface("org.freedesktop.portal.Session")
        self.sessions = {}  # path -> {"owner", "started", "persist", "registration"}
        self.requests = {}  # path -> registration id
        bus.register_object(OBJECT, self.remote_desktop, self.on_call, self.on_property, None)

    # Objects

    @staticmethod
    def element(sender):
        return sender[1:].replace(".", "_")

    def add_request(self, sender, options):
        path = "%s/request/%s/%s" % (OBJECT, self.element(sender), options["handle_token"])
        self.requests[path] = self.bus.register_object(
            path, self.request_interface, self.on_request_call, None, None)
        return path

    def respond(self, sender, path, code, results):
        self.bus.emit_signal(sender, path, "org.freedesktop.portal.Request", "Response",
                             GLib.Variant("(ua{sv})", (code, results)))
        registration = self.requests.pop(path, None)
        if registration is not None:
            self.bus.unregister_object(registration)

    def close_session(self, path, notify):
        session = self.sessions.pop(path, None)
        if session is None:
            return
        self.bus.unregister_object(session["registration"])
        if notify:
            self.bus.emit_signal(session["owner"], path, "org.freedesktop.portal.Session",
                                 "Closed", GLib.Variant("(a{sv})", ({},)))
            emit("closed " + path)

    def close_started_sessions(self):
        for path in [p for p, s in self.sessions.items() if s["started"]]:
            self.close_session(path, True)
        return GLib.SOURCE_CONTINUE

    # Calls

    def record(self, member, options, values):
        words = ["call", member]
        words += ["%s=%s" % (key, show(options[key])) for key in sorted(options)]
        words += [show(v) for v in values]
        emit(" ".join(words))

    def session_of(self, invocation, path, started):
        session = self.sessions.get(path)
        why = None
        if session is None:
            why = "no such session"
        elif session["owner"] != invocation.get_sender():
            why = "session of another client"
        elif started and not session["started"]:
            why = "session not started"
        if why:
            emit("refused %s: %s" % (invocation.get_method_name(), why))
            invocation.return_dbus_error("org.freedesktop.DBus.Error.AccessDenied", why)
            return None
        return session

    def on_call(self, bus, sender, path, interface, member, parameters, invocation):
        values = list(parameters.unpack())
        if member == "CreateSession":
            options = values[0]
            self.record(member, options, [])
            session_path = "%s/session/%s/%s" % (OBJECT, self.element(sender),
                                                 options["session_handle_token"])
            registration = bus.register_object(session_path, self.session_interface,
                                               self.on_session_call, self.on_property, None)
            self.sessions[session_path] = {"owner": sender, "started": False, "persist": False,
                                           "registration": registration}
            request = self.add_request(sender, options)
            # The real portal hands the session handle over as a string.
            self.respond(sender, request, 0, {"session_handle": GLib.Variant("s", session_path)})
            invocation.return_value(GLib.Variant("(o)", (request,)))
        elif member == "SelectDevices":
            session_path, options = values
            self.record(member, options, [])
            session = self.session_of(invocation, session_path, False)
            if session is None:
                return
            if self.args.version >= 2 and options.get("persist_mode", 0) != 0:
                session["persist"] = True
            request = self.add_request(sender, options)
            self.respond(sender, request, 0, {})
            invocation.return_value(GLib.Variant("(o)", (request,)))
        elif member == "Start":
            session_path, parent_window, options = values
            self.record(member, options, ["parent_window=" + parent_window])
            session = self.session_of(invocation, session_path, False)
            if session is None:
                return
            request = self.add_request(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            GLib.timeout_add(self.args.consent_delay_ms, self.decide, sender, request, session)
        elif member.startswith("Notify"):
            session_path, options, *rest = values
            if self.session_of(invocation, session_path, True) is not None:
                self.record(member, options, rest)
                invocation.return_value(None)

    def decide(self, sender, request, session):
        if request not in self.requests:  # closed meanwhile
            return GLib.SOURCE_REMOVE
        code = self.args.start_response
        results = {}
        if code == 0:
            session["started"] = True
            results["devices"] = GLib.Variant("u", 3)
            if session["persist"]:
                token = uuid.uuid4().hex
                results["restore_token"] = GLib.Variant("s", token)
                emit("issued restore_token=" + token)
        self.respond(sender, request, code, results)
        return GLib.SOURCE_REMOVE

    def on_request_call(self, bus, sender, path, interface, member, parameters, invocation):
        emit("call Request.Close")
        registration = self.requests.pop(path, None)
        if registration is not None:
            bus.unregister_object(registration)
        invocation.return_value(None)

    def on_session_call(self, bus, sender, path, interface, member, parameters, invocation):
        emit("call Session.Close")
        self.close_session(path, False)
        invocation.return_value(None)

    def on_property(self, bus, sender, path, interface, name):
        if name == "version":
            return GLib.Variant("u", self.args.version)
        return GLib.Variant("u", 7)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", type=int, default=1)
    parser.add_argument("--start-response", type=int, default=0)
    parser.add_argument("--consent-delay-ms", type=int, default=0)
    args = parser.parse_args()

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    portal = Portal(bus, args)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(bus, BUS_NAME, Gio.BusNameOwnerFlags.NONE,
                                   lambda *_: emit("ready"), lambda *_: loop.quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, portal.close_started_sessions)
    for stop in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, stop, lambda: loop.quit() or False)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
