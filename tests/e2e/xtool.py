#!/usr/bin/env python3
"""X11 helpers for the end-to-end drivers (standard library and libX11 only).

  xtool.py close WINDOW   ask WINDOW to close, as a window manager's close
                          button does (WM_DELETE_WINDOW), on $DISPLAY
  xtool.py icons WINDOW DIR
                          write each picture of WINDOW's _NET_WM_ICON to
                          DIR/icon-WxH.rgba (8-bit RGBA, not premultiplied)
                          and print "W H FILE" for each
"""
import ctypes
import ctypes.util
import sys


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def cmd_close(window):
    x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x.XOpenDisplay(None)
    if not dpy:
        sys.exit("xtool: cannot open the display")
    ev = XEvent()
    ev.xclient.type = 33  # ClientMessage
    ev.xclient.window = int(window, 0)
    ev.xclient.message_type = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
    ev.xclient.format = 32
    ev.xclient.data[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    ev.xclient.data[1] = 0  # CurrentTime
    x.XSendEvent(dpy, ev.xclient.window, 0, 0, ctypes.byref(ev))
    x.XFlush(dpy)
    x.XCloseDisplay(dpy)


def cmd_icons(window, outdir):
    x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XGetWindowProperty.argtypes = [
        ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
        ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
        ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
    x.XFree.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x.XOpenDisplay(None)
    if not dpy:
        sys.exit("xtool: cannot open the display")
    actual_type, actual_format = ctypes.c_ulong(), ctypes.c_int()
    nitems, after, prop = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    status = x.XGetWindowProperty(dpy, int(window, 0), x.XInternAtom(dpy, b"_NET_WM_ICON", 0), 0, 1 << 24, 0,
                                  0, ctypes.byref(actual_type), ctypes.byref(actual_format), ctypes.byref(nitems),
                                  ctypes.byref(after), ctypes.byref(prop))
    values = []
    if status == 0 and prop.value:
        if actual_format.value == 32:
            # Xlib hands 32-bit items over as longs.
            values = list((ctypes.c_ulong * nitems.value).from_address(prop.value))
        x.XFree(prop)
    x.XCloseDisplay(dpy)
    i = 0
    while i + 2 <= len(values):
        w, h = values[i], values[i + 1]
        pixels = values[i + 2:i + 2 + w * h]
        i += 2 + w * h
        if w == 0 or h == 0 or len(pixels) != w * h:
            break
        out = bytearray()
        for argb in pixels:
            out += bytes(((argb >> 16) & 255, (argb >> 8) & 255, argb & 255, (argb >> 24) & 255))
        name = "%s/icon-%dx%d.rgba" % (outdir, w, h)
        with open(name, "wb") as f:
            f.write(out)
        print(w, h, name)


def main(argv):
    if len(argv) == 3 and argv[1] == "close":
        cmd_close(argv[2])
        return
    if len(argv) == 4 and argv[1] == "icons":
        cmd_icons(argv[2], argv[3])
        return
    sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
