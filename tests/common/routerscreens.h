// SPDX-License-Identifier: MIT
// The router's console screens as it paints them, for feeding a session byte for byte: the system
// information screen and the status screen with both channel rows, the LAN figures and a trigger
// packet. The window's tests and the monitor's tests parse the same screens.
#pragma once

#include <string>
#include <vector>

// A 24 x 80 console screen written as the router paints it: clear, then each row at column 1.
class TScreenBytes
{
public:
    TScreenBytes() : m_rows(24, std::string(80, ' ')) {}

    TScreenBytes &put(int row, int col, const std::string &text)
    {
        m_rows[row - 1].replace(col - 1, text.size(), text);
        return *this;
    }

    std::string bytes() const
    {
        std::string out = "\x1b[2J";
        for (int r = 1; r <= 24; ++r)
            out += "\x1b[" + std::to_string(r) + ";1H" + m_rows[r - 1];
        return out;
    }

private:
    std::vector<std::string> m_rows;
};

inline std::string systemInfoScreen(const std::string &name)
{
    return TScreenBytes()
        .put(3, 30, "Menu 24.2.1 - System Maintenance - Information")
        .put(5, 27, name)
        .put(6, 38, "V2.50(AB.1)")
        .put(12, 35, "192.168.1.1")
        .bytes();
}

struct TChannelRow
{
    std::string link = "64K/Sync";
    std::string speed = "64";
    std::string tx = "1234567";
    std::string clu = "50";
    std::string alu = "25";
    std::string clid;
};

inline std::string statusScreen(const TChannelRow &b1, const TChannelRow &b2)
{
    TScreenBytes screen;
    screen.put(3, 30, "Menu 24.1 - System Maintenance - Status");
    const auto row = [&screen](int r, char number, const TChannelRow &c) {
        screen.put(r, 3, std::string(1, number))
            .put(r, 6, c.link)
            .put(r, 16, std::string(2 - c.speed.size(), ' ') + c.speed + "Kbps")
            .put(r, 23, c.tx)
            .put(r, 35, "7654321")
            .put(r, 47, "3")
            .put(r, 59, c.clu)
            .put(r, 64, c.alu)
            .put(r, 70, "1:02:03");
    };
    row(6, '1', b1);
    row(7, '2', b2);
    screen.put(9, 25, "12:34:56")
        .put(12, 16, "10M/Full Duplex")
        .put(12, 52, "10.0.0.1")
        .put(13, 16, "1000")
        .put(13, 52, "10.0.0.2")
        .put(14, 16, "2000")
        .put(14, 49, b1.clid)
        .put(15, 19, "3")
        .put(15, 49, b2.clid)
        // Trigger packet: 192.168.1.2:1025 -> 10.1.2.3:25.
        .put(19, 42, "C0 A8 01 02 0A 01 02 03 04 01 00 19");
    return screen.bytes();
}
