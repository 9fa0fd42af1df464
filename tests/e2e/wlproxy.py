#!/usr/bin/python3
"""A Wayland proxy for the end-to-end tests: closes a client's windows as a
user would with the compositor's close button.

  wlproxy.py UPSTREAM NAME   listens on $XDG_RUNTIME_DIR/NAME and relays every
                             client to the compositor's socket UPSTREAM (a
                             name in $XDG_RUNTIME_DIR), file descriptors and
                             all. On SIGUSR1 it sends each client's live
                             xdg_toplevels the compositor's close event.
                             Logs "toplevel ID", "closed ID" a line each.

Only the requests that make an xdg_toplevel are read (wl_display.get_registry,
wl_registry.bind of xdg_wm_base, xdg_wm_base.get_xdg_surface,
xdg_surface.get_toplevel, the destroy requests); everything else passes
through untouched. The close event goes in between two whole messages.
"""
import array
import os
import selectors
import signal
import socket
import struct
import sys

MAX_FDS = 28


def recv(sock):
    fds = array.array("i")
    data, anc, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(MAX_FDS * fds.itemsize))
    for level, kind, payload in anc:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds.frombytes(payload[: len(payload) - (len(payload) % fds.itemsize)])
    return data, list(fds)


def send(sock, data, fds):
    if not data:
        return
    anc = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", fds).tobytes())] if fds else []
    sent = sock.sendmsg([data], anc)
    if sent < len(data):
        sock.sendall(data[sent:])
    for fd in fds:
        os.close(fd)


def messages(buf):
    """The whole messages at the start of buf, and what is left."""
    out = []
    while len(buf) >= 8:
        obj, word = struct.unpack_from("<II", buf)
        size = word >> 16
        if size < 8 or len(buf) < size:
            break
        out.append((obj, word & 0xFFFF, bytes(buf[8:size]), bytes(buf[:size])))
        buf = buf[size:]
    return out, buf


class Conn:
    def __init__(self, client, server):
        self.client, self.server = client, server
        self.up = b""      # client requests not yet read whole
        self.down = b""    # compositor events not yet forwarded whole
        self.down_fds = []
        self.registries, self.wm_bases, self.xdg_surfaces = set(), set(), set()
        self.toplevels = []

    def requests(self, data):
        msgs, self.up = messages(self.up + data)
        for obj, op, args, _ in msgs:
            if obj == 1 and op == 1:
                self.registries.add(struct.unpack_from("<I", args)[0])
            elif obj in self.registries and op == 0:
                n = struct.unpack_from("<I", args, 4)[0]
                iface = args[8:8 + n - 1].decode(errors="replace")
                at = 8 + ((n + 3) & ~3)
                _, new = struct.unpack_from("<II", args, at)
                if iface == "xdg_wm_base":
                    self.wm_bases.add(new)
            elif obj in self.wm_bases and op == 2:
                self.xdg_surfaces.add(struct.unpack_from("<I", args)[0])
            elif obj in self.xdg_surfaces and op == 0:
                self.xdg_surfaces.discard(obj)  # destroyed: the id may come back as another object
            elif obj in self.xdg_surfaces and op == 1:
                new = struct.unpack_from("<I", args)[0]
                self.toplevels.append(new)
                print("toplevel", new, flush=True)
            elif obj in self.toplevels and op == 0:
                self.toplevels.remove(obj)

    def events(self, data, fds):
        self.down_fds += fds
        msgs, self.down = messages(self.down + data)
        whole = b"".join(raw for _, _, _, raw in msgs)
        if whole:
            send(self.client, whole, self.down_fds)
            self.down_fds = []

    def close_toplevels(self):
        for obj in list(self.toplevels):
            # xdg_toplevel.close: event 1, no arguments.
            send(self.client, struct.pack("<II", obj, (8 << 16) | 1), [])
            print("closed", obj, flush=True)


def main(argv):
    run = os.environ["XDG_RUNTIME_DIR"]
    upstream, name = os.path.join(run, argv[1]), os.path.join(run, argv[2])
    if os.path.exists(name):
        os.unlink(name)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(name)
    listener.listen(8)
    wake_r, wake_w = socket.socketpair()
    wake_w.setblocking(False)
    signal.set_wakeup_fd(wake_w.fileno())
    signal.signal(signal.SIGUSR1, lambda *_: None)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ, ("listen", None))
    sel.register(wake_r, selectors.EVENT_READ, ("wake", None))
    conns = []
    print("listening", name, flush=True)
    while True:
        for key, _ in sel.select():
            what, conn = key.data
            if what == "listen":
                client, _ = listener.accept()
                server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                server.connect(upstream)
                conn = Conn(client, server)
                conns.append(conn)
                sel.register(client, selectors.EVENT_READ, ("client", conn))
                sel.register(server, selectors.EVENT_READ, ("server", conn))
            elif what == "wake":
                if signal.SIGUSR1 in wake_r.recv(64):
                    for c in conns:
                        c.close_toplevels()
            else:
                src = conn.client if what == "client" else conn.server
                try:
                    data, fds = recv(src)
                except OSError:
                    data, fds = b"", []
                if not data:
                    for s in (conn.client, conn.server):
                        sel.unregister(s)
                        s.close()
                    conns.remove(conn)
                    continue
                if what == "client":
                    send(conn.server, data, fds)
                    conn.requests(data)
                else:
                    conn.events(data, fds)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
