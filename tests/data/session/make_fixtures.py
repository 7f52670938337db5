#!/usr/bin/env python3
# Writes the console fixtures: each screen is laid out here as text at (row, column), painted into
# a byte stream the way the router's console paints (clear, positioning, attributes, erase in line,
# out of order), and the expected 24 x 80 text and cursor are written beside it. Run from this
# directory; the C++ tests only read the results.

ESC = b"\x1b"


def csi(s):
    return ESC + b"[" + s.encode()


class Screen:
    def __init__(self):
        self.rows = [bytearray(b" " * 80) for _ in range(24)]
        self.pieces = []  # (row, col, text) in the order the router paints them

    def put(self, row, col, text):
        data = text.encode("latin-1")
        assert 1 <= row <= 24 and col >= 1 and col - 1 + len(data) <= 80, (row, col, text)
        self.rows[row - 1][col - 1 : col - 1 + len(data)] = data
        self.pieces.append((row, col, data))

    def right(self, row, col, width, value):
        self.put(row, col, str(value).rjust(width))

    def expected(self, cursor):
        out = b"".join(bytes(r) + b"\n" for r in self.rows)
        return out + ("cursor %d %d\n" % cursor).encode()


def paint(screen, cursor, order=None):
    out = csi("?25l") + csi("0m") + csi("2J") + csi("H")
    pieces = screen.pieces if order is None else [screen.pieces[i] for i in order]
    for n, (row, col, data) in enumerate(pieces):
        out += csi("%d;%dH" % (row, col))
        if n % 3 == 0:
            out += csi("1m")
        out += data
        if n % 3 == 0:
            out += csi("0m")
        if n % 4 == 1:
            out += csi("K")
    out += csi("%d;%dH" % cursor) + csi("?25h")
    return out


def status_screen():
    s = Screen()
    s.put(3, 26, "Menu 24.1 - System Maintenance - Status")
    s.put(5, 1, "  Port Status    Speed  TXPkts      RXPkts      Errors     CLU  ALU   Up Time")
    # B1 on row 6, B2 on row 7: number in column 3, fields at their columns.
    for row, num, link, speed, tx, rx, err, clu, alu, up in (
        (6, "1", "SYNC-PPP", "64", 3141592653, 27182818, 12, 87, 45, "1:02:33"),
        (7, "2", "Voice", "64", 0, 0, 0, 100, 3, "0:00:17"),
    ):
        s.put(row, 3, num)
        s.put(row, 6, link.ljust(10))
        s.put(row, 16, speed + "Kbps")
        s.right(row, 23, 11, tx)
        s.right(row, 35, 11, rx)
        s.right(row, 47, 11, err)
        s.right(row, 59, 3, clu)
        s.put(row, 62, "%")
        s.right(row, 64, 3, alu)
        s.put(row, 67, "%")
        s.right(row, 70, 10, up)
    s.put(9, 3, "Total Outcall Time :")
    s.right(9, 25, 12, "123:45:06")
    s.put(11, 3, "Ethernet:")
    s.put(11, 47, "Channel IP Address:")
    s.put(12, 3, "Status    :")
    s.put(12, 16, "10M/Half Duplex")
    s.put(12, 47, "B1")
    s.put(12, 52, "10.0.0.2")
    s.put(13, 3, "TX Pkts   :")
    s.right(13, 16, 13, 98765432109)
    s.put(13, 47, "B2")
    s.put(13, 52, "0.0.0.0")
    s.put(14, 3, "RX Pkts   :")
    s.right(14, 16, 13, 1234567)
    s.put(14, 33, "B1 Caller ID:")
    s.put(14, 49, "5551234")
    s.put(15, 3, "Collisions   :")
    s.right(15, 19, 10, 42)
    s.put(15, 33, "B2 Caller ID:")
    s.put(15, 49, "0123456789")
    s.put(17, 3, "Last Call Triggered By Packet:")
    packet = "45 00 00 3C 1C 46 40 00 40 06 B1 E6 C0 A8 00 01 0A 14 1E 28 04 01 00 50"
    s.put(19, 3, "IP:")
    s.put(19, 6, packet)
    s.put(22, 3, "Press Command (1=Drop B1, 2=Drop B2, 3=Reset, 4=Drop All):")
    return s


def sysinfo_screen():
    s = Screen()
    s.put(3, 19, "Menu 24.2.1 - System Maintenance - Information")
    s.put(5, 6, "System Name         :")
    s.put(5, 27, "brelwick1")
    s.put(6, 6, "Routing  : IP        RAS S/W:")
    s.put(6, 38, "V2.50(E.01)")
    s.put(7, 6, "Ethernet Address     : 00:A0:C5:12:34:56")
    s.put(11, 6, "LAN")
    s.put(12, 6, "IP Address            :")
    s.put(12, 35, "192.168.0.1")
    s.put(13, 6, "IP Mask               : 255.255.255.0")
    s.put(22, 19, "Press ESC or RETURN to Exit:")
    return s


def write(name, data, expected):
    with open(name + ".bin", "wb") as f:
        f.write(data)
    with open(name + ".screen", "wb") as f:
        f.write(expected)


def main():
    status = status_screen()
    n = len(status.pieces)
    # Paint the status screen back to front, as a repaint that is not top-down would.
    write("menu24_1", paint(status, (22, 62), list(range(n - 1, -1, -1))), status.expected((22, 62)))

    info = sysinfo_screen()
    write("menu24_2_1", paint(info, (22, 47)), info.expected((22, 47)))

    # Text flow: on this console CR moves down a row and LF back to column 1; a row that fills
    # wraps; a character written below row 24 scrolls the screen up by one row.
    flow = Screen()
    data = csi("2J") + csi("1;1H")
    lines = ["line %02d" % i for i in range(1, 31)]
    for line in lines:
        data += line.encode() + b"\r\n"
    for i, line in enumerate(lines[6:]):
        flow.rows[i][0 : len(line)] = line.encode()
    # A long run from row 24 column 75 wraps onto a new row 24 (scrolling once), with BEL and
    # TAB ignored and a BS stepping back over a character that is then overwritten.
    data += csi("24;75H") + b"ABCDEF\x07\tGHIJ\x08K"
    for i in range(23):
        flow.rows[i] = flow.rows[i + 1]
    flow.rows[23] = bytearray(b" " * 80)
    flow.rows[22][74:80] = b"ABCDEF"
    flow.rows[23][0:4] = b"GHIK"
    write("textflow", data, flow.expected((24, 5)))


if __name__ == "__main__":
    main()
