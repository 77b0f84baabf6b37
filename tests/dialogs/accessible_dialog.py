#!/usr/bin/python3
"""Runs helper with a request and reads its dialog as a screen reader does, over AT-SPI.

usage: accessible_dialog.py HELPER REQUEST

The accessibility bus and its registry are this script's own children, stopped before it ends, so that
nothing outlives the run. Prints one JSON object: the dialog as read before and after one Tab, the
window's title and helper's reply.
"""
import json
import os
import subprocess
import sys
import time

from gi.repository import Gio, GLib

REGISTRY = "org.a11y.atspi.Registry"


def poll(read):
    """The first true value of read(); the test's own time limit bounds a dialog that never comes."""
    while True:
        value = read()
        if value:
            return value
        time.sleep(0.05)


def name_owned(address, name):
    connection = Gio.DBusConnection.new_for_address_sync(
        address,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None,
        None,
    )
    reply = connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", GLib.Variant("(s)", (name, )), None,
                                 Gio.DBusCallFlags.NONE, -1, None)
    connection.close_sync(None)
    return reply.unpack()[0]


def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], capture_output=True, text=True).stdout.strip()


def descendants(accessible):
    for child in accessible:
        if child is not None:
            yield child
            yield from descendants(child)


def describe(pyatspi, dialog):
    """The alert's name, its text area's name and text, and each button's name and state."""
    area = next(node for node in descendants(dialog) if node.getRole() == pyatspi.ROLE_TEXT)
    text = area.queryText()
    buttons = []
    for node in descendants(dialog):
        if node.getRole() == pyatspi.ROLE_PUSH_BUTTON:
            states = node.getState()
            buttons.append({
                "name": node.name,
                "default": states.contains(pyatspi.STATE_IS_DEFAULT),
                "focused": states.contains(pyatspi.STATE_FOCUSED),
            })
    return {
        "alert": {"role": dialog.getRoleName(), "name": dialog.name},
        "area": {"name": area.name, "text": text.getText(0, text.characterCount)},
        "buttons": buttons,
    }


def read_dialog(helper_path, request):
    bus = subprocess.Popen([
        "dbus-daemon", "--config-file=/usr/share/defaults/at-spi2/accessibility.conf", "--nofork",
        "--print-address=1"
    ],
                           stdout=subprocess.PIPE,
                           text=True)
    registry = None
    try:
        address = bus.stdout.readline().strip()
        environment = dict(os.environ, AT_SPI_BUS_ADDRESS=address)
        # The session services turn the toolkit's accessibility off for every other test.
        environment.pop("NO_AT_BRIDGE", None)
        os.environ["AT_SPI_BUS_ADDRESS"] = address
        # Started here rather than by the bus on demand, so that it is this script's to stop.
        registry = subprocess.Popen(["/usr/libexec/at-spi2-registryd"],
                                    env=environment,
                                    stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        poll(lambda: name_owned(address, REGISTRY))

        import pyatspi
        helper = subprocess.Popen([helper_path],
                                  stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE,
                                  env=environment,
                                  text=True)
        helper.stdin.write(request)
        helper.stdin.close()

        def dialog_of_helper():
            for application in pyatspi.Registry.getDesktop(0):
                if application is not None and application.get_process_id() == helper.pid:
                    for window in application:
                        if window is not None and window.getState().contains(pyatspi.STATE_ACTIVE):
                            return window
            return None

        dialog = poll(dialog_of_helper)
        window = poll(lambda: xdotool("search", "--onlyvisible", "--pid", str(helper.pid)))
        poll(lambda: xdotool("getactivewindow") == window)
        before = poll(lambda: (lambda seen: seen if any(b["focused"] for b in seen["buttons"]) else None)
                      (describe(pyatspi, dialog)))
        xdotool("key", "--clearmodifiers", "Tab")
        # Tab has been handled once the focus has moved on from the button it started on.
        after = poll(lambda: (lambda seen: seen if seen["buttons"] != before["buttons"] else None)
                     (describe(pyatspi, dialog)))
        title = xdotool("getwindowname", window)
        xdotool("key", "--clearmodifiers", "Escape")
        reply = helper.stdout.read()
        helper.wait()
        return {"before": before, "after": after, "title": title, "reply": reply}
    finally:
        for process in (registry, bus):
            if process is not None:
                process.terminate()
                process.wait()


if __name__ == "__main__":
    print(json.dumps(read_dialog(sys.argv[1], sys.argv[2]), ensure_ascii=False))
