#!/usr/bin/python3
"""A Wayland desktop's screen cast, scripted: a private session bus, a private
PipeWire with its session manager, and on the bus a ScreenCast portal
(org.freedesktop.portal.ScreenCast) whose every cast is a real PipeWire video
node made by GStreamer's videotestsrc, or with --scene by that program (one
that marks what changed in each picture). It offers monitors and windows; a
window's cast is the test picture at --window-size, with no position.

    screencast_portal.py RUNDIR [--refuse] [--size WxH] [--window-size WxH] [--pattern P]
                         [--scene PROGRAM] [--rate N] [--shortcuts]

Writes RUNDIR/ready (the bus address) once serving and logs every request to
RUNDIR/calls, one line each. SIGUSR1 ends the running cast as a desktop does
when the user stops sharing: the node goes and the session is closed.
With --shortcuts it also serves org.freedesktop.portal.GlobalShortcuts;
SIGUSR2 then presses the bound shortcut named in RUNDIR/press.
SIGTERM ends everything.
"""

import argparse
import ctypes
import json
import os
import shlex
import signal
import socket
import subprocess
import sys
import time

from gi.repository import Gio, GLib

PORTAL_XML = """
<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="SelectSources">
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
    <method name="OpenPipeWireRemote">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="h" name="fd" direction="out"/>
    </method>
    <property name="AvailableSourceTypes" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
  </interface>
</node>
"""

SHORTCUTS_XML = """
<node>
  <interface name="org.freedesktop.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a(sa{sv})" name="shortcuts" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="request_handle" direction="out"/>
    </method>
    <signal name="Activated">
      <arg type="o" name="session_handle"/>
      <arg type="s" name="shortcut_id"/>
      <arg type="t" name="timestamp"/>
      <arg type="a{sv}" name="options"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
</node>
"""

SESSION_XML = """
<node>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed"><arg type="a{sv}" name="details"/></signal>
  </interface>
</node>
"""

PORTAL_PATH = "/org/freedesktop/portal/desktop"


def die_with_parent():
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Desktop:
    def __init__(self, args):
        self.args = args
        self.rundir = args.rundir
        self.children = []
        self.cast = None  # the running gst-launch
        self.sessions = {}  # path -> registration id
        self.live_session = None
        self.tokens = set()
        self.token_count = 0
        self.env = dict(os.environ)

    def log(self, **entry):
        with open(os.path.join(self.rundir, "calls"), "a") as f:
            f.write(json.dumps(entry) + "\n")

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, env=self.env, preexec_fn=die_with_parent,
                             stdout=kw.get("stdout", subprocess.DEVNULL),
                             stderr=open(os.path.join(self.rundir, "services.log"), "a"))
        self.children.append(p)
        return p

    def start_services(self):
        bus = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                         stdout=subprocess.PIPE)
        self.address = bus.stdout.readline().decode().strip()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        pwdir = os.path.join(self.rundir, "pipewire")
        os.makedirs(pwdir, mode=0o700, exist_ok=True)
        self.env["PIPEWIRE_RUNTIME_DIR"] = pwdir
        self.env["XDG_RUNTIME_DIR"] = pwdir
        self.env.pop("PIPEWIRE_REMOTE", None)
        self.spawn(["pipewire"])
        self.pw_socket = os.path.join(pwdir, "pipewire-0")
        for _ in range(100):
            if os.path.exists(self.pw_socket):
                break
            time.sleep(0.05)
        self.spawn(["wireplumber"])

    def video_node(self, width, height):
        """Starts the cast's test picture; returns its node id."""
        if self.args.scene:
            self.cast = self.spawn(shlex.split(self.args.scene) + [
                "--size", "%sx%s" % (width, height), "--rate", str(self.args.rate),
                "--name", "korvorec-test-cast"])
        else:
            self.cast = self.spawn([
                "gst-launch-1.0", "-q", "videotestsrc", "is-live=true",
                "pattern=" + self.args.pattern,
                "!", "video/x-raw,format=BGRx,width=%s,height=%s,framerate=%d/1" % (
                    width, height, self.args.rate), "!",
                "pipewiresink", "mode=provide", "client-name=korvorec-test-cast"])
        for _ in range(200):
            dump = subprocess.run(["pw-dump"], env=self.env, capture_output=True, text=True)
            try:
                objects = json.loads(dump.stdout or "[]")
            except ValueError:
                objects = []
            for o in objects:
                props = (o.get("info") or {}).get("props") or {}
                if o.get("type", "").endswith("Node") and props.get("node.name") == "korvorec-test-cast":
                    return o["id"]
            time.sleep(0.05)
        raise RuntimeError("the test picture made no PipeWire node")

    def end_cast(self, *_):
        if self.cast:
            self.cast.terminate()
            self.cast.wait()
            self.cast = None
        if self.live_session:
            self.conn.emit_signal(None, self.live_session, "org.freedesktop.portal.Session",
                                  "Closed", GLib.Variant("(a{sv})", ({},)))
            self.log(call="Closed", session=self.live_session)
            self.live_session = None
        return GLib.SOURCE_REMOVE

    def respond(self, sender, path, code, results):
        def send():
            self.conn.emit_signal(sender, path, "org.freedesktop.portal.Request", "Response",
                                  GLib.Variant("(ua{sv})", (code, results)))
            return GLib.SOURCE_REMOVE
        GLib.idle_add(send)

    def request_path(self, sender, options):
        return "%s/request/%s/%s" % (PORTAL_PATH, sender[1:].replace(".", "_"),
                                     options.get("handle_token", "t"))

    def on_call(self, conn, sender, path, iface, method, params, invocation):
        if iface == "org.freedesktop.portal.Session":
            self.log(call="Close", session=path)
            if path == self.live_session:
                self.live_session = None
                if self.cast:
                    self.cast.terminate()
                    self.cast.wait()
                    self.cast = None
            invocation.return_value(None)
            return
        p = params.unpack()
        if iface == "org.freedesktop.portal.GlobalShortcuts":
            self.on_shortcuts_call(conn, sender, method, p, invocation)
            return
        if method == "CreateSession":
            options = p[0]
            session = "%s/session/%s/%s" % (PORTAL_PATH, sender[1:].replace(".", "_"),
                                            options["session_handle_token"])
            info = Gio.DBusNodeInfo.new_for_xml(SESSION_XML).interfaces[0]
            self.sessions[session] = conn.register_object(session, info, self.on_call, None, None)
            request = self.request_path(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            self.log(call="CreateSession")
            self.respond(sender, request, 0, {"session_handle": GLib.Variant("s", session)})
        elif method == "SelectSources":
            session, options = p
            self.selected = options
            self.log(call="SelectSources", types=options.get("types"),
                     cursor_mode=options.get("cursor_mode"),
                     persist_mode=options.get("persist_mode"),
                     restore_token=options.get("restore_token"))
            request = self.request_path(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            self.respond(sender, request, 0, {})
        elif method == "Start":
            session, parent, options = p
            request = self.request_path(sender, options)
            invocation.return_value(GLib.Variant("(o)", (request,)))
            restored = self.selected.get("restore_token") in self.tokens
            self.log(call="Start", dialog=not restored, refused=self.args.refuse and not restored)
            if self.args.refuse and not restored:
                self.respond(sender, request, 1, {})
                return
            self.tokens.discard(self.selected.get("restore_token"))
            window = self.selected.get("types") == 2
            size = self.args.window_size if window else self.args.size
            width, height = (int(v) for v in size.split("x"))
            node = self.video_node(width, height)
            self.live_session = session
            properties = {"size": GLib.Variant("(ii)", (width, height)),
                          "source_type": GLib.Variant("u", 2 if window else 1)}
            if not window:
                properties["position"] = GLib.Variant("(ii)", (0, 0))
            stream = (node, properties)
            results = {"streams": GLib.Variant("a(ua{sv})", [stream])}
            if self.selected.get("persist_mode", 0) == 2:
                self.token_count += 1
                token = "kept-%d" % self.token_count
                self.tokens.add(token)
                results["restore_token"] = GLib.Variant("s", token)
            self.respond(sender, request, 0, results)
        elif method == "OpenPipeWireRemote":
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(self.pw_socket)
            fds = Gio.UnixFDList.new_from_array([os.dup(s.fileno())])
            s.close()
            self.log(call="OpenPipeWireRemote")
            invocation.return_value_with_unix_fd_list(GLib.Variant("(h)", (0,)), fds)

    def on_shortcuts_call(self, conn, sender, method, p, invocation):
        options = p[-1]
        request = self.request_path(sender, options)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        if method == "CreateSession":
            self.shortcut_session = "%s/session/%s/%s" % (
                PORTAL_PATH, sender[1:].replace(".", "_"), options["session_handle_token"])
            self.log(call="GlobalShortcuts.CreateSession")
            self.respond(sender, request, 0,
                         {"session_handle": GLib.Variant("s", self.shortcut_session)})
        elif method == "BindShortcuts":
            shortcuts = [{"id": i, "trigger": o.get("preferred_trigger")} for i, o in p[1]]
            self.log(call="BindShortcuts", shortcuts=shortcuts)
            self.respond(sender, request, 0, {})

    def press(self, *_):
        with open(os.path.join(self.rundir, "press")) as f:
            shortcut = f.read().strip()
        self.log(call="Activated", shortcut=shortcut)
        self.conn.emit_signal(None, PORTAL_PATH, "org.freedesktop.portal.GlobalShortcuts",
                              "Activated", GLib.Variant("(osta{sv})", (
                                  self.shortcut_session, shortcut, 0, {})))
        return GLib.SOURCE_CONTINUE

    def on_property(self, conn, sender, path, iface, name):
        if iface == "org.freedesktop.portal.GlobalShortcuts":
            return GLib.Variant("u", 1)
        values = {"version": 4, "AvailableSourceTypes": 3,
                  "AvailableCursorModes": 7}
        return GLib.Variant("u", values[name])

    def run(self):
        self.start_services()
        self.conn = Gio.DBusConnection.new_for_address_sync(
            self.address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
            Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        info = Gio.DBusNodeInfo.new_for_xml(PORTAL_XML).interfaces[0]
        self.conn.register_object(PORTAL_PATH, info, self.on_call, self.on_property, None)
        if self.args.shortcuts:
            info = Gio.DBusNodeInfo.new_for_xml(SHORTCUTS_XML).interfaces[0]
            self.conn.register_object(PORTAL_PATH, info, self.on_call, self.on_property, None)
            GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR2, self.press)
        loop = GLib.MainLoop()

        def owned(*_):
            with open(os.path.join(self.rundir, "ready.tmp"), "w") as f:
                f.write(self.address + "\n" + self.env["PIPEWIRE_RUNTIME_DIR"] + "\n")
            os.rename(os.path.join(self.rundir, "ready.tmp"), os.path.join(self.rundir, "ready"))

        Gio.bus_own_name_on_connection(self.conn, "org.freedesktop.portal.Desktop",
                                       Gio.BusNameOwnerFlags.NONE, owned, None)
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, self.end_cast)
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
        try:
            loop.run()
        finally:
            for p in reversed(self.children):
                p.terminate()
            for p in reversed(self.children):
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("rundir")
    parser.add_argument("--refuse", action="store_true", help="the user refuses the dialog")
    parser.add_argument("--size", default="640x480")
    parser.add_argument("--window-size", default="801x451", help="a window's cast")
    parser.add_argument("--pattern", default="smpte", help="videotestsrc's pattern")
    parser.add_argument("--scene", help="a castscene command line to show instead")
    parser.add_argument("--rate", type=int, default=15, help="pictures a second")
    parser.add_argument("--shortcuts", action="store_true",
                        help="the desktop offers global shortcuts")
    die_with_parent()
    Desktop(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
