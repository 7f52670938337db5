// SPDX-License-Identifier: MIT
// Screen painting for the simulated console. Each screen is laid out on a 24 x 80 canvas and
// sent as erase display followed by one cursor-positioned, erased-to-end row per non-blank row,
// so the result never depends on how the far end treats line ends.
#include "screens.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace {

constexpr const char *kEsc = "\x1b";
constexpr int kMessageRow = 22;
constexpr int kMessageCol = 20;
constexpr const char *kRouterBanner = "Brelwick BR-128 ISDN Router";

std::string cursorTo(int row, int col)
{
    return std::string(kEsc) + "[" + std::to_string(row) + ";" + std::to_string(col) + "H";
}

struct PromptSpot
{
    int row;
    int col;
    const char *text;
};

PromptSpot promptSpot(ScreenId screen)
{
    switch (screen) {
    case ScreenId::Password:
        return {12, 28, "Password: "};
    case ScreenId::Main:
    case ScreenId::Menu24:
        return {20, 20, "Enter Menu Selection Number: "};
    case ScreenId::Menu242:
        return {20, 20, "Enter Selection: "};
    case ScreenId::SystemInfo:
        return {20, 20, "Press ESC or ENTER to exit: "};
    case ScreenId::Status:
        break;
    }
    return {kSimRows, 1, ""};
}

// A 24 x 80 grid of text plus the ranges drawn in reverse video.
class Canvas
{
public:
    Canvas() { m_rows.fill(std::string(kSimCols, ' ')); }

    // Writes text at (row, col), clipped to the grid.
    void put(int row, int col, std::string_view text)
    {
        if (row < 1 || row > kSimRows || col < 1 || col > kSimCols)
            return;
        const size_t room = static_cast<size_t>(kSimCols - col + 1);
        m_rows[row - 1].replace(col - 1, std::min(room, text.size()), text.substr(0, room));
    }

    // Writes a value into a field of the given width, cut to fit and aligned.
    void putField(int row, int col, int width, std::string_view text, bool rightAligned)
    {
        std::string cell(text.substr(0, static_cast<size_t>(width)));
        const std::string pad(static_cast<size_t>(width) - cell.size(), ' ');
        put(row, col, rightAligned ? pad + cell : cell + pad);
    }

    void highlight(int row, int col, int length) { m_marks.push_back({row, col, length}); }

    // Moves the rows' text from col on by that many columns (right when positive), cut at the edge.
    void shift(int firstRow, int lastRow, int col, int by)
    {
        for (int row = firstRow; row <= lastRow; ++row) {
            std::string &text = m_rows[row - 1];
            if (by > 0)
                text.insert(static_cast<size_t>(col - 1), static_cast<size_t>(by), ' ');
            else
                text.erase(static_cast<size_t>(col - 1), static_cast<size_t>(-by));
            text.resize(kSimCols, ' ');
        }
    }

    // A blank row at row; the last row falls off. Marks stay where they are.
    void insertRow(int row)
    {
        for (int r = kSimRows; r > row; --r)
            m_rows[r - 1] = m_rows[r - 2];
        m_rows[row - 1] = std::string(kSimCols, ' ');
    }

    std::string render() const
    {
        std::string out = std::string(kEsc) + "[0m" + kEsc + "[?25l" + kEsc + "[2J";
        for (int row = 1; row <= kSimRows; ++row) {
            const std::string &text = m_rows[row - 1];
            const size_t end = text.find_last_not_of(' ');
            if (end == std::string::npos)
                continue;
            out += cursorTo(row, 1);
            std::string line = text.substr(0, end + 1);
            // Attribute sequences go in from the right so earlier offsets stay valid.
            std::vector<Mark> marks;
            for (const Mark &mark : m_marks)
                if (mark.row == row && mark.col - 1 < static_cast<int>(line.size()))
                    marks.push_back(mark);
            std::sort(marks.begin(), marks.end(), [](const Mark &a, const Mark &b) { return a.col > b.col; });
            for (const Mark &mark : marks) {
                const size_t stop = std::min(line.size(), static_cast<size_t>(mark.col - 1 + mark.length));
                line.insert(stop, std::string(kEsc) + "[0m");
                line.insert(static_cast<size_t>(mark.col - 1), std::string(kEsc) + "[7m");
            }
            out += line;
            out += std::string(kEsc) + "[K";
        }
        return out;
    }

private:
    struct Mark
    {
        int row;
        int col;
        int length;
    };
    std::array<std::string, kSimRows> m_rows;
    std::vector<Mark> m_marks;
};

void putHeader(Canvas &canvas, std::string_view title)
{
    canvas.put(1, 2, kRouterBanner);
    canvas.highlight(1, 2, static_cast<int>(std::string_view(kRouterBanner).size()));
    const int col = (kSimCols - static_cast<int>(title.size())) / 2 + 1;
    canvas.put(3, col, title);
    canvas.highlight(3, col, static_cast<int>(title.size()));
}

Paint finish(const Canvas &canvas, ScreenId screen)
{
    const PromptSpot spot = promptSpot(screen);
    Paint paint;
    paint.body = canvas.render() + cursorTo(spot.row, spot.col) + kEsc + "[?25h";
    paint.prompt = spot.text;
    return paint;
}

std::string rightNumber(int64_t value)
{
    return std::to_string(value);
}

std::string hexByte(uint8_t value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

const FieldValues kNoOverrides;

} // namespace

const char *screenName(ScreenId screen)
{
    switch (screen) {
    case ScreenId::Password:
        return "password";
    case ScreenId::Main:
        return "main";
    case ScreenId::Menu24:
        return "24";
    case ScreenId::Menu242:
        return "24.2";
    case ScreenId::SystemInfo:
        return "24.2.1";
    case ScreenId::Status:
        return "24.1";
    }
    return "?";
}

std::optional<ScreenId> screenFromName(std::string_view name)
{
    for (ScreenId screen : {ScreenId::Password, ScreenId::Main, ScreenId::Menu24, ScreenId::Menu242,
                            ScreenId::SystemInfo, ScreenId::Status})
        if (name == screenName(screen))
            return screen;
    return std::nullopt;
}

const std::vector<FieldSpot> &statusFieldSpots()
{
    static const std::vector<FieldSpot> spots = {
        {"b1.state", 0, 6, 10, false},      {"b1.speed", 0, 16, 2, true},   {"b1.tx", 0, 23, 11, true},
        {"b1.rx", 0, 35, 11, true},         {"b1.errors", 0, 47, 11, true}, {"b1.clu", 0, 59, 3, true},
        {"b1.alu", 0, 64, 3, true},         {"b1.uptime", 0, 70, 10, true}, {"b2.state", 0, 6, 10, false},
        {"b2.speed", 0, 16, 2, true},       {"b2.tx", 0, 23, 11, true},     {"b2.rx", 0, 35, 11, true},
        {"b2.errors", 0, 47, 11, true},     {"b2.clu", 0, 59, 3, true},     {"b2.alu", 0, 64, 3, true},
        {"b2.uptime", 0, 70, 10, true},     {"outcall", 9, 25, 12, true},   {"lan.status", 12, 16, 23, false},
        {"b1.ip", 12, 52, 15, false},       {"lan.sent", 13, 16, 13, true}, {"b2.ip", 13, 52, 15, false},
        {"lan.received", 14, 16, 13, true}, {"b1.clid", 14, 49, 11, false}, {"lan.collisions", 15, 19, 10, true},
        {"b2.clid", 15, 49, 11, false},
    };
    return spots;
}

const std::vector<FieldSpot> &systemInfoFieldSpots()
{
    static const std::vector<FieldSpot> spots = {
        {"name", 5, 27, 10, false},
        {"firmware", 6, 38, 11, false},
        {"ip", 12, 35, 15, false},
    };
    return spots;
}

std::optional<FieldKind> fieldKind(std::string_view name)
{
    if (name == "trigger.src" || name == "trigger.dst")
        return FieldKind::Address;
    if (name == "trigger.sport" || name == "trigger.dport")
        return FieldKind::Port;
    for (const auto *spots : {&statusFieldSpots(), &systemInfoFieldSpots()})
        for (const FieldSpot &spot : *spots)
            if (name == spot.name)
                return FieldKind::Text;
    return std::nullopt;
}

bool parseAddress(std::string_view text, uint8_t (&bytes)[4])
{
    const char *p = text.data();
    const char *end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.')
                return false;
            ++p;
        }
        unsigned value = 0;
        const auto [next, error] = std::from_chars(p, end, value);
        if (error != std::errc() || next == p || next - p > 3 || value > 255)
            return false;
        bytes[i] = static_cast<uint8_t>(value);
        p = next;
    }
    return p == end;
}

Paint paintPassword()
{
    Canvas canvas;
    canvas.put(6, 27, kRouterBanner);
    canvas.highlight(6, 27, static_cast<int>(std::string_view(kRouterBanner).size()));
    canvas.put(8, 24, "Console access - authorised users only");
    return finish(canvas, ScreenId::Password);
}

Paint paintMainMenu()
{
    Canvas canvas;
    putHeader(canvas, "Main Menu");
    canvas.put(5, 4, "Setup");
    canvas.put(5, 42, "Operation");
    const char *const left[] = {"  1. Router Identity", "  2. ISDN Line",    "  3. Local Network", "  4. Internet Link",
                                " 11. Remote Sites",    " 12. Fixed Routes", " 13. Call Budget"};
    const char *const right[] = {
        "21. Packet Filters", "22. Network Management", "23. Change Password", "24. Maintenance", "", "99. Log Out"};
    for (int i = 0; i < static_cast<int>(std::size(left)); ++i)
        canvas.put(7 + i, 4, left[i]);
    for (int i = 0; i < static_cast<int>(std::size(right)); ++i)
        canvas.put(7 + i, 44, right[i]);
    return finish(canvas, ScreenId::Main);
}

Paint paintMenu24()
{
    Canvas canvas;
    putHeader(canvas, "Menu 24 - Maintenance");
    const char *const items[] = {
        "1. Line Status",          "2. System Information", "3. Event Log",     "4. Line Tests",   "5. Restart",
        "6. Configuration Backup", "7. Firmware Transfer",  "8. Command Shell", "9. Date and Time"};
    for (int i = 0; i < static_cast<int>(std::size(items)); ++i)
        canvas.put(6 + i, 26, items[i]);
    return finish(canvas, ScreenId::Menu24);
}

Paint paintMenu242()
{
    Canvas canvas;
    putHeader(canvas, "Menu 24.2 - System Information");
    canvas.put(7, 26, "1. Router Details");
    canvas.put(8, 26, "2. Console Speed");
    return finish(canvas, ScreenId::Menu242);
}

Paint paintSystemInfo(const RouterModel &model, const FieldValues &overrides)
{
    Canvas canvas;
    putHeader(canvas, "Menu 24.2.1 - Router Details");
    canvas.put(5, 6, "System Name:");
    canvas.put(6, 6, "Firmware Version:");
    canvas.put(6, 51, "| 2000-08-14");
    canvas.put(7, 6, "Boot Loader:");
    canvas.put(7, 38, "B1.07");
    canvas.put(9, 6, "Local Network");
    canvas.put(10, 8, "Hardware Address:");
    canvas.put(10, 35, "00:40:2B:3C:51:7A");
    canvas.put(11, 8, "Port Mode:");
    canvas.put(11, 35, model.lanStatus());
    canvas.put(12, 8, "IP Address:");
    canvas.put(13, 8, "Subnet Mask:");
    canvas.put(13, 35, "255.255.255.0");
    canvas.put(15, 6, "ISDN Switch Type:");
    canvas.put(15, 35, "Euro ISDN (ETSI)");
    const FieldValues live = {{"name", model.systemName()}, {"firmware", model.firmware()}, {"ip", model.ipAddress()}};
    for (const FieldSpot &spot : systemInfoFieldSpots()) {
        const auto found = overrides.find(spot.name);
        const std::string &value = found != overrides.end() ? found->second : live.at(spot.name);
        canvas.putField(spot.row, spot.col, spot.width, value, spot.rightAligned);
    }
    return finish(canvas, ScreenId::SystemInfo);
}

FieldValues statusValues(const RouterModel &model)
{
    FieldValues values;
    for (int i = 0; i < RouterModel::kChannels; ++i) {
        const ChannelModel &channel = model.channel(i);
        const std::string prefix = i == 0 ? "b1." : "b2.";
        const bool inCall = channel.state == LineState::Data || channel.state == LineState::Voice;
        values[prefix + "state"] = model.stateWord(i);
        values[prefix + "speed"] = rightNumber(model.speed(i));
        values[prefix + "tx"] = rightNumber(channel.tx);
        values[prefix + "rx"] = rightNumber(channel.rx);
        values[prefix + "errors"] = rightNumber(channel.errors);
        values[prefix + "clu"] = rightNumber(channel.clu);
        values[prefix + "alu"] = rightNumber(channel.alu);
        values[prefix + "uptime"] = formatDuration(inCall ? channel.upSeconds : 0);
        values[prefix + "ip"] = channel.ip.empty() ? "0.0.0.0" : channel.ip;
        values[prefix + "clid"] = channel.clid;
    }
    values["outcall"] = formatDuration(model.outcallSeconds());
    values["lan.status"] = model.lanStatus();
    values["lan.sent"] = rightNumber(model.lanSent());
    values["lan.received"] = rightNumber(model.lanReceived());
    values["lan.collisions"] = rightNumber(model.lanCollisions());
    return values;
}

std::optional<StatusLayout> statusLayoutFromName(std::string_view name)
{
    const std::pair<std::string_view, StatusLayout> names[] = {{"known", StatusLayout::Known},
                                                               {"shifted", StatusLayout::Shifted},
                                                               {"wide", StatusLayout::WideCounters},
                                                               {"extra-row", StatusLayout::ExtraRow},
                                                               {"title", StatusLayout::Title}};
    for (const auto &[text, layout] : names)
        if (name == text)
            return layout;
    return std::nullopt;
}

Paint paintStatus(const RouterModel &model, const FieldValues &overrides, const std::vector<RawText> &raws,
                  bool swapRows, StatusLayout layout)
{
    Canvas canvas;
    putHeader(canvas, layout == StatusLayout::Title ? "Line Status (24-1)" : "Menu 24.1 - Line Status");
    canvas.put(5, 2, "Ch");
    canvas.put(5, 6, "State");
    canvas.put(5, 16, "Speed");
    canvas.putField(5, 23, 11, "TX Pkts", true);
    canvas.putField(5, 35, 11, "RX Pkts", true);
    canvas.putField(5, 47, 11, "Errors", true);
    canvas.put(5, 59, "Now");
    canvas.put(5, 64, "Avg");
    canvas.putField(5, 70, 10, "Up Time", true);
    const int b1Row = swapRows ? kFirstChannelRow + 1 : kFirstChannelRow;
    const int b2Row = swapRows ? kFirstChannelRow : kFirstChannelRow + 1;
    canvas.put(b1Row, kChannelNumberCol - 1, "B1");
    canvas.put(b2Row, kChannelNumberCol - 1, "B2");
    for (int row : {b1Row, b2Row}) {
        canvas.put(row, 18, "Kbps");
        canvas.put(row, 62, "%");
        canvas.put(row, 67, "%");
    }
    canvas.put(9, 3, "Total Outcall Time:");
    canvas.put(11, 3, "Ethernet");
    canvas.put(11, 41, "Channel Addresses / Callers");
    canvas.put(12, 5, "Status:");
    canvas.put(12, 43, "B1 Addr:");
    canvas.put(13, 5, "Sent:");
    canvas.put(13, 43, "B2 Addr:");
    canvas.put(14, 5, "Received:");
    canvas.put(14, 37, "B1 Caller:");
    canvas.put(15, 5, "Collisions:");
    canvas.put(15, 37, "B2 Caller:");
    canvas.put(17, 3, "Packet that triggered the last call:");

    FieldValues values = statusValues(model);
    for (const auto &[name, text] : overrides)
        if (values.count(name))
            values[name] = text;
    for (const FieldSpot &spot : statusFieldSpots()) {
        const std::string_view name = spot.name;
        int row = spot.row;
        if (row == 0)
            row = name.starts_with("b1.") ? b1Row : b2Row;
        canvas.putField(row, spot.col, spot.width, values.at(spot.name), spot.rightAligned);
    }

    std::array<uint8_t, RouterModel::kTriggerBytes> packet = model.trigger();
    uint8_t address[4];
    for (const auto &[name, offset] : {std::pair{"trigger.src", 12}, std::pair{"trigger.dst", 16}}) {
        const auto found = overrides.find(name);
        if (found != overrides.end() && parseAddress(found->second, address))
            std::copy(address, address + 4, packet.begin() + offset);
    }
    for (const auto &[name, offset] : {std::pair{"trigger.sport", 20}, std::pair{"trigger.dport", 22}}) {
        const auto found = overrides.find(name);
        if (found == overrides.end())
            continue;
        const int port = std::clamp(std::atoi(found->second.c_str()), 0, 65535);
        packet[offset] = static_cast<uint8_t>(port >> 8);
        packet[offset + 1] = static_cast<uint8_t>(port);
    }
    canvas.put(kTriggerRow, 2, "Hex:");
    for (int n = 0; n < RouterModel::kTriggerBytes; ++n)
        canvas.put(kTriggerRow, kTriggerFirstCol + 3 * n, hexByte(packet[n]));

    canvas.put(21, 3, "1 - Drop B1   2 - Drop B2   3 - Reset Counters   4 - Drop All   ESC - Back");
    switch (layout) {
    case StatusLayout::Known:
    case StatusLayout::Title:
        break;
    case StatusLayout::Shifted:
        canvas.shift(5, kFirstChannelRow + 1, 4, 2);
        break;
    case StatusLayout::WideCounters:
        canvas.shift(5, kFirstChannelRow + 1, 23, 2);
        break;
    case StatusLayout::ExtraRow:
        canvas.insertRow(4);
        canvas.put(4, 3, "Line 1: Euro ISDN   Line 2: not fitted");
        break;
    }
    for (const RawText &raw : raws)
        canvas.put(raw.row, raw.col, raw.text);

    Paint paint;
    paint.body = canvas.render() + cursorTo(kSimRows, 1);
    return paint;
}

Paint paintMessage(ScreenId screen, std::string_view message)
{
    Paint paint = paintPromptAgain(screen);
    paint.body =
        cursorTo(kMessageRow, 1) + kEsc + "[K" + cursorTo(kMessageRow, kMessageCol) + std::string(message) + paint.body;
    return paint;
}

Paint paintPromptAgain(ScreenId screen)
{
    const PromptSpot spot = promptSpot(screen);
    Paint paint;
    paint.body = cursorTo(spot.row, 1) + kEsc + "[K" + cursorTo(spot.row, spot.col);
    paint.prompt = spot.text;
    return paint;
}
