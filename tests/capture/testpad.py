#!/usr/bin/python3
# A GTK 3 window with a text view whose text and selection the test chooses. Prints
# "ready X Y W H" (the selection's box in screen pixels, as GTK lays it out) once it is on screen.
import argparse

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gio, GLib, Gtk  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--text", default="The quick brown fox")
parser.add_argument("--select", nargs=2, type=int)
parser.add_argument("--app-id", default="org.quillora.TestPad")
parser.add_argument("--title", default="Test Pad")
parser.add_argument("--no-primary", action="store_true", help="never offer the selection as PRIMARY")
args = parser.parse_args()

app = Gtk.Application(application_id=args.app_id, flags=Gio.ApplicationFlags.NON_UNIQUE)


def activate(application):
    window = Gtk.ApplicationWindow(application=application, title=args.title)
    window.set_default_size(500, 200)
    window.move(150, 120)
    view = Gtk.TextView()
    buffer = view.get_buffer()
    buffer.set_text(args.text)
    window.add(view)
    window.show_all()
    window.present()
    view.grab_focus()

    def select_and_report():
        if args.no_primary:
            buffer.remove_selection_clipboard(Gtk.Clipboard.get(Gdk.SELECTION_PRIMARY))
        if args.select:
            start = buffer.get_iter_at_offset(args.select[0])
            end = buffer.get_iter_at_offset(args.select[1])
            buffer.select_range(start, end)
            first = view.get_iter_location(start)
            last = view.get_iter_location(end)
            x, y = view.buffer_to_window_coords(Gtk.TextWindowType.TEXT, first.x, first.y)
            origin = view.get_window(Gtk.TextWindowType.TEXT).get_origin()
            ox, oy = origin[-2], origin[-1]
            print("ready", ox + x, oy + y, last.x - first.x, first.height, flush=True)
        else:
            print("ready 0 0 0 0", flush=True)
        return False

    GLib.timeout_add(400, select_and_report)


app.connect("activate", activate)
app.run([])
