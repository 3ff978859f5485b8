#!/usr/bin/python3
"""Sends keys and pointer input into a Wayland desktop through the RemoteDesktop portal, or on GNOME through
mutter's own remote desktop service, which asks no one.

    wayland-keys.py alt+x escape     presses Alt and X together and lets go of both, then Escape
    wayland-keys.py move:40,-10      moves the pointer by 40 px right and 10 px up
    wayland-keys.py click            presses and releases the left button where the pointer is
    wayland-keys.py press move:99,0 release    a drag with the left button
    wayland-keys.py stamp alt+x      prints the monotonic clock in ns just before Alt+X goes in
    wayland-keys.py --hold SOCKET    on GNOME: keeps one remote desktop session, and with it a keyboard on
                                     the seat, until it is stopped; every later call there goes through it,
                                     found by QUILLORA_KEYS_SOCKET naming SOCKET

Keys are named by their US layout letters or by: alt, ctrl, shift, escape, return, tab. One session carries
everything given on one command line. On any failure it says why on stderr and exits with 1; a portal that
does not answer within the deadline counts as a failure.
"""

import os
import signal
import socket
import sys
import time

from gi.repository import Gio, GLib

DEADLINE_MS = 10000
PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
REMOTE_DESKTOP = "org.freedesktop.portal.RemoteDesktop"
KEYBOARD, POINTER = 1, 2
LEFT_BUTTON = 0x110

# evdev key codes (linux/input-event-codes.h)
KEYS = {"escape": 1, "tab": 15, "return": 28, "ctrl": 29, "shift": 42, "alt": 56}
for row, first in (("qwertyuiop", 16), ("asdfghjkl", 30), ("zxcvbnm", 44)):
    KEYS.update({letter: first + i for i, letter in enumerate(row)})


class Failure(Exception):
    pass


def parse(words):
    """Turns the command line into a list of ("key", [codes]), ("move", dx, dy), ("click" | "press" |
    "release",)."""
    actions = []
    for word in map(str.lower, words):
        if word.startswith("move:"):
            try:
                dx, dy = (float(v) for v in word[5:].split(","))
            except ValueError:
                raise Failure(f"'{word}' is not move:DX,DY") from None
            actions.append(("move", dx, dy))
        elif word in ("click", "press", "release", "stamp"):
            actions.append((word,))
        else:
            unknown = [name for name in word.split("+") if name not in KEYS]
            if unknown:
                raise Failure(f"unknown key '{unknown[0]}'")
            actions.append(("key", [KEYS[name] for name in word.split("+")]))
    return actions


class Portal:
    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.sender = self.bus.get_unique_name()[1:].replace(".", "_")
        self.serial = 0

    def call(self, method, parameters, interface=REMOTE_DESKTOP, path=PORTAL_PATH):
        try:
            return self.bus.call_sync(PORTAL, path, interface, method, parameters, None,
                                      Gio.DBusCallFlags.NONE, DEADLINE_MS, None)
        except GLib.Error as error:
            raise Failure(f"{method}: {error.message}") from None

    def request(self, method, arguments, signature, options):
        """Calls a method that answers through a Request object and returns the Response's results."""
        self.serial += 1
        token = f"quillora_keys_{self.serial}"
        request_path = f"{PORTAL_PATH}/request/{self.sender}/{token}"
        loop = GLib.MainLoop()
        answer = {}

        def on_response(_bus, _sender, _path, _interface, _signal, parameters):
            answer["code"], answer["results"] = parameters.unpack()
            loop.quit()

        # Subscribed before the call, on the path the portal will use, so a quick answer is not missed.
        subscription = self.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Request", "Response",
                                                 request_path, None, Gio.DBusSignalFlags.NONE, on_response)
        timeout = GLib.timeout_add(DEADLINE_MS, loop.quit)
        try:
            options = dict(options, handle_token=GLib.Variant("s", token))
            self.call(method, GLib.Variant(f"({signature}a{{sv}})", (*arguments, options)))
            loop.run()
        finally:
            self.bus.signal_unsubscribe(subscription)
            if "code" in answer:
                GLib.source_remove(timeout)
        if "code" not in answer:
            raise Failure(f"{method}: the portal did not answer within {DEADLINE_MS // 1000} s")
        if answer["code"] != 0:
            reason = "cancelled" if answer["code"] == 1 else "failed"
            raise Failure(f"{method}: the portal answered {answer['code']} ({reason})")
        return answer["results"]


MUTTER = "org.gnome.Mutter.RemoteDesktop"
MUTTER_PATH = "/org/gnome/Mutter/RemoteDesktop"


class MutterSession:
    """A session of mutter's org.gnome.Mutter.RemoteDesktop, which GNOME's portal itself uses; it asks no one."""

    def __init__(self, bus):
        self.bus = bus
        self.path = self.call(MUTTER_PATH, MUTTER, "CreateSession").unpack()[0]
        self.session_call("Start")
        # The first key of a new session is lost (mutter sets the new keyboard up with it): a Shift tap goes first.
        self.inject([("key", [KEYS["shift"]])], [])

    def call(self, path, interface, method, parameters=None):
        try:
            return self.bus.call_sync(MUTTER, path, interface, method, parameters, None, Gio.DBusCallFlags.NONE,
                                      DEADLINE_MS, None)
        except GLib.Error as error:
            raise Failure(f"{method}: {error.message}") from None

    def session_call(self, method, signature=None, values=()):
        return self.call(self.path, MUTTER + ".Session", method,
                         GLib.Variant(f"({signature})", values) if signature else None)

    def inject(self, actions, output):
        """Sends the actions; what "stamp" prints is appended to output."""
        for action in actions:
            if action[0] == "stamp":
                output.append(str(time.monotonic_ns()))
            elif action[0] == "key":
                for code, state in [(c, True) for c in action[1]] + [(c, False) for c in reversed(action[1])]:
                    self.session_call("NotifyKeyboardKeycode", "ub", (code, state))
                    time.sleep(0.01)
            elif action[0] == "move":
                self.session_call("NotifyPointerMotionRelative", "dd", action[1:])
                time.sleep(0.01)
            else:
                for state in {"press": (True,), "release": (False,), "click": (True, False)}[action[0]]:
                    self.session_call("NotifyPointerButton", "ib", (LEFT_BUTTON, state))
                    time.sleep(0.01)

    def stop(self):
        try:
            self.session_call("Stop")
        except Failure:
            pass


def run_mutter():
    """Through the desktop's held session: one that stops takes the keyboard focus with it, so that a window
    clicked in a session of this call's own would no longer be active once the call ended."""
    holder = os.environ.get("QUILLORA_KEYS_SOCKET")
    if not holder or not os.path.exists(holder):
        raise Failure("no session held by wayland-keys.py --hold at QUILLORA_KEYS_SOCKET")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(DEADLINE_MS / 1000)
        connection.connect(holder)
        connection.sendall(("\t".join(sys.argv[1:]) + "\n").encode())
        answer = connection.makefile().read().splitlines()
    if not answer or answer[-1] != "ok":
        raise Failure(answer[-1] if answer else "the held session did not answer")
    for line in answer[:-1]:
        print(line, flush=True)


def hold_mutter_session(bus, path):
    """Keeps one session, and with it a keyboard on the seat, and sends what wayland-keys.py is given through it."""
    session = MutterSession(bus)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(4)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("holding", flush=True)
    try:
        while True:
            connection, _ = server.accept()
            with connection:
                try:
                    words = connection.makefile().readline().rstrip("\n").split("\t")
                    output = []
                    session.inject(parse(words), output)
                    connection.sendall(("".join(line + "\n" for line in output) + "ok\n").encode())
                except Failure as failure:
                    connection.sendall(f"{failure}\n".encode())
    finally:
        server.close()
        os.unlink(path)
        session.stop()


def mutter_runs(bus):
    try:
        owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", GLib.Variant("(s)", (MUTTER,)), None, Gio.DBusCallFlags.NONE,
                              DEADLINE_MS, None)
    except GLib.Error:
        return False
    return owned.unpack()[0]


def run(actions):
    portal = Portal()
    if mutter_runs(portal.bus):
        run_mutter()
        return
    session = portal.request("CreateSession", (), "",
                             {"session_handle_token": GLib.Variant("s", "quillora_keys")})["session_handle"]

    def notify(method, signature, *values):
        portal.call(method, GLib.Variant(f"(oa{{sv}}{signature})", (session, {}, *values)))

    try:
        wanted = (KEYBOARD if any(a[0] == "key" for a in actions) else 0) | \
                 (POINTER if any(a[0] not in ("key", "stamp") for a in actions) else 0)
        portal.request("SelectDevices", (session,), "o", {"types": GLib.Variant("u", wanted)})
        granted = portal.request("Start", (session, ""), "os", {}).get("devices", 0)
        if granted & wanted != wanted:
            raise Failure(f"Start: the portal granted devices {granted}, {wanted} were asked for")
        for action in actions:
            if action[0] == "stamp":
                print(time.monotonic_ns(), flush=True)
            elif action[0] == "key":
                for code, state in [(c, 1) for c in action[1]] + [(c, 0) for c in reversed(action[1])]:
                    notify("NotifyKeyboardKeycode", "iu", code, state)
                    time.sleep(0.01)  # held as a hand would: keys sent back to back can be missed
            elif action[0] == "move":
                notify("NotifyPointerMotion", "dd", action[1], action[2])
            else:
                for state in {"press": (1,), "release": (0,), "click": (1, 0)}[action[0]]:
                    notify("NotifyPointerButton", "iu", LEFT_BUTTON, state)
    finally:
        try:
            portal.call("Close", None, interface="org.freedesktop.portal.Session", path=session)
        except Failure:
            pass


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        if argv[1] == "--hold":
            bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
            if len(argv) != 3 or not mutter_runs(bus):
                raise Failure("--hold SOCKET needs mutter's remote desktop service")
            hold_mutter_session(bus, argv[2])
            return 0
        run(parse(argv[1:]))
    except Failure as failure:
        print(f"wayland-keys.py: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
