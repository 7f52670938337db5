#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# A few X11 requests for the benchmarks, spoken over the display's local socket (no client library
# needed), so that the monitor and the bare program are handled alike under Xvfb:
#   xwin.py DISPLAY geometry TITLE   prints WIDTHxHEIGHT of the top-level window whose WM_NAME
#                                    starts with TITLE
#   xwin.py DISPLAY unmap TITLE      unmaps it, as a window manager minimises it (Qt is not told)
#   xwin.py DISPLAY close TITLE      asks it to close (WM_DELETE_WINDOW), as its title bar's button
#   xwin.py DISPLAY tray             owns the notification area's selection until killed, so that
#                                    Qt offers a tray (the icons asking to dock are left unmapped)
#   xwin.py DISPLAY mapped TITLE -- PROGRAM ARGS...
#                                    starts PROGRAM and prints the milliseconds from its start to
#                                    the first map of a window named TITLE..., then ends it (SIGTERM)
import os
import signal
import socket
import struct
import subprocess
import sys
import time


class X:
    def __init__(self, display):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect("/tmp/.X11-unix/X" + display.lstrip(":").split(".")[0])
        self.sock.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
        head = self.read(8)
        if head[0] != 1:
            sys.exit("the X server refused the connection")
        setup = self.read(struct.unpack("<H", head[6:8])[0] * 4)
        self.id_base = struct.unpack("<I", setup[4:8])[0]
        vendor, formats = struct.unpack("<H", setup[16:18])[0], setup[21]
        self.root = struct.unpack("<I", setup[32 + (vendor + 3) // 4 * 4 + 8 * formats :][:4])[0]
        self.events = []

    def read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                sys.exit("the X server closed the connection")
            data += chunk
        return data

    def reply(self):
        # Events that arrive before the reply are kept for next_event.
        while True:
            head = self.read(32)
            if head[0] == 0:
                sys.exit("X error %d" % head[1])
            if head[0] == 1:
                return head + self.read(struct.unpack("<I", head[4:8])[0] * 4)
            self.events.append(head)

    def next_event(self):
        if self.events:
            return self.events.pop(0)
        while True:
            head = self.read(32)
            if head[0] == 0:
                continue  # an error for a window gone meanwhile
            if head[0] != 1:
                return head

    def atom(self, name):
        name = name.encode()
        pad = (4 - len(name) % 4) % 4
        self.sock.sendall(struct.pack("<BBHHxx", 16, 0, 2 + (len(name) + pad) // 4, len(name)) + name + b"\0" * pad)
        return struct.unpack("<I", self.reply()[8:12])[0]

    def name(self, window):
        self.sock.sendall(struct.pack("<BBHIIIII", 20, 0, 6, window, 39, 0, 0, 64))  # GetProperty WM_NAME
        name = self.reply()
        return name[32 : 32 + struct.unpack("<I", name[16:20])[0]]

    def find(self, title):
        self.sock.sendall(struct.pack("<BxHI", 15, 2, self.root))  # QueryTree
        tree = self.reply()
        for i in range(struct.unpack("<H", tree[16:18])[0]):
            window = struct.unpack("<I", tree[32 + 4 * i : 36 + 4 * i])[0]
            if self.name(window).startswith(title):
                return window
        sys.exit("no window named " + title.decode())

    def sync(self):
        self.sock.sendall(struct.pack("<BxH", 43, 1))  # GetInputFocus: its reply follows what went before
        self.reply()


def main():
    display, command = sys.argv[1], sys.argv[2]
    x = X(display)
    if command == "geometry":
        x.sock.sendall(struct.pack("<BxHI", 14, 2, x.find(sys.argv[3].encode())))  # GetGeometry
        width, height = struct.unpack("<HH", x.reply()[16:20])
        print("%dx%d" % (width, height))
    elif command == "unmap":
        x.sock.sendall(struct.pack("<BxHI", 10, 2, x.find(sys.argv[3].encode())))  # UnmapWindow
        x.sync()
    elif command == "close":
        window = x.find(sys.argv[3].encode())
        protocols, delete = x.atom("WM_PROTOCOLS"), x.atom("WM_DELETE_WINDOW")
        event = struct.pack("<BBHII", 33, 32, 0, window, protocols) + struct.pack("<5I", delete, 0, 0, 0, 0)
        x.sock.sendall(struct.pack("<BBHII", 25, 0, 11, window, 0) + event)  # SendEvent ClientMessage
        x.sync()
    elif command == "tray":
        selection = x.atom("_NET_SYSTEM_TRAY_S0")
        manager = x.atom("MANAGER")
        owner = x.id_base | 1
        # An input-only window (class 2) that owns the selection.
        x.sock.sendall(struct.pack("<BBHIIhhHHHHII", 1, 0, 8, owner, x.root, 0, 0, 1, 1, 0, 2, 0, 0))
        x.sock.sendall(struct.pack("<BxHIII", 22, 4, owner, selection, 0))  # SetSelectionOwner
        # MANAGER on the root window tells running clients that a tray came.
        event = struct.pack("<BBHII", 33, 32, 0, x.root, manager) + struct.pack("<5I", 0, selection, owner, 0, 0)
        x.sock.sendall(struct.pack("<BBHII", 25, 0, 11, x.root, 0x20000) + event)  # StructureNotify
        x.sync()
        print("tray", flush=True)
        try:
            while True:
                x.next_event()
        except SystemExit:
            pass  # the display ended
    elif command == "mapped":
        title = sys.argv[3].encode()
        program = sys.argv[sys.argv.index("--") + 1 :]
        # SubstructureNotify on the root: every top-level window's MapNotify comes here.
        x.sock.sendall(struct.pack("<BxHIII", 2, 4, x.root, 0x800, 0x80000))  # ChangeWindowAttributes
        x.sync()
        start = time.monotonic()
        child = subprocess.Popen(program, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            while True:
                event = x.next_event()
                if event[0] & 0x7F == 19:  # MapNotify
                    window = struct.unpack("<I", event[8:12])[0]
                    mapped = time.monotonic()
                    if x.name(window).startswith(title):
                        print("%.1f" % (1000 * (mapped - start)))
                        break
        finally:
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
    else:
        sys.exit("unknown command " + command)


if __name__ == "__main__":
    main()
