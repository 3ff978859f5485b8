#!/usr/bin/python3
# A GTK 3 window with a text view whose text and selection the test chooses. Prints
# "ready X Y W H" (the selection's box in screen pixels, as GTK lays it out) once it is on screen.
import argparse
import sys

import gi

parser = argparse.ArgumentParser()
parser.add_argument("--text", default="The quick brown fox")
parser.add_argument("--select", nargs=2, type=int)
parser.add_argument("--app-id", default="org.quillora.TestPad")
parser.add_argument("--title", default="Test Pad")
parser.add_argument("--no-primary", action="store_true", help="never offer the selection as PRIMARY")
parser.add_argument("--anchor", type=int, help="an embedded widget at this offset")
parser.add_argument("--copy-delay", type=int, help="Ctrl+C copies only this many ms later")
parser.add_argument("--gtk4", action="store_true", help="GTK 4, whose text has no screen positions")
parser.add_argument("--canvas", action="store_true", help="text drawn, not exposed to accessibility; Ctrl+C copies")
parser.add_argument("--primary", action="store_true",
                    help="with --canvas: a click selects, offering the selection as PRIMARY, and prints 'selected'")
args = parser.parse_args()

if args.gtk4:
    gi.require_version("Gtk", "4.0")
    from gi.repository import Gio, GLib, Gtk  # noqa: E402

    app = Gtk.Application(application_id=args.app_id, flags=Gio.ApplicationFlags.NON_UNIQUE)

    def activate4(application):
        window = Gtk.ApplicationWindow(application=application, title=args.title, default_width=500)
        view = Gtk.TextView()
        view.get_buffer().set_text(args.text)
        window.set_child(view)
        window.present()
        view.grab_focus()

        def select4():
            buffer = view.get_buffer()
            buffer.select_range(buffer.get_iter_at_offset(args.select[0]), buffer.get_iter_at_offset(args.select[1]))
            print("ready 0 0 0 0", flush=True)
            return False

        GLib.timeout_add(400, select4)

    app.connect("activate", activate4)
    sys.exit(app.run([]))

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gio, GLib, Gtk  # noqa: E402

app = Gtk.Application(application_id=args.app_id, flags=Gio.ApplicationFlags.NON_UNIQUE)


def activate_canvas(application):
    # Like a program that draws its own text: its window is on the accessibility bus, its text is not.
    window = Gtk.ApplicationWindow(application=application, title=args.title)
    window.set_default_size(500, 200)
    canvas = Gtk.DrawingArea(can_focus=True)
    canvas.connect("draw", lambda _, cr: cr.move_to(20, 40) or cr.show_text(args.text))
    selected = args.text[args.select[0] : args.select[1]] if args.select else ""

    def key(_, event):
        if event.state & Gdk.ModifierType.CONTROL_MASK and Gdk.keyval_to_lower(event.keyval) == Gdk.KEY_c:
            print("copy", flush=True)
            clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
            clipboard.set_text(selected, -1)
            clipboard.store()
        return True

    canvas.connect("key-press-event", key)

    def click(_, event):
        # As a drag that selects: Wayland takes a primary selection only from the window the pointer pressed in.
        if args.primary:
            Gtk.Clipboard.get(Gdk.SELECTION_PRIMARY).set_text(selected, -1)
            print("selected", flush=True)
        return True

    canvas.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK)
    canvas.connect("button-release-event", click)
    window.add(canvas)
    window.show_all()
    window.present()
    canvas.grab_focus()
    GLib.timeout_add(400, lambda: print("ready 0 0 0 0", flush=True) or False)


def activate(application):
    if args.canvas:
        activate_canvas(application)
        return
    window = Gtk.ApplicationWindow(application=application, title=args.title)
    window.set_default_size(500, 200)
    window.move(150, 120)
    view = Gtk.TextView()
    buffer = view.get_buffer()
    buffer.set_text(args.text)
    if args.anchor is not None:
        anchor = buffer.create_child_anchor(buffer.get_iter_at_offset(args.anchor))
        view.add_child_at_anchor(Gtk.Button(label="embedded"), anchor)
    if args.copy_delay is not None:

        def late_copy(v):
            v.stop_emission_by_name("copy-clipboard")
            bounds = buffer.get_selection_bounds()
            text = buffer.get_text(*bounds, True) if bounds else ""
            clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
            GLib.timeout_add(args.copy_delay, lambda: clipboard.set_text(text, -1) or clipboard.store() or False)

        view.connect("copy-clipboard", late_copy)
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
