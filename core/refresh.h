// SPDX-License-Identifier: MIT
// The once-a-second refresh's pieces that need no widgets: number and text formatting, the tray
// picture rule and tip, the caller-ID logging rule, the service-name lookup and the 90-second
// usage history. The main window calls them in the refresh's order and puts the results on screen.
#pragma once

#include "convert.h"
#include "statusmodel.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

// Caller-ID digits grouped for reading: 7 characters abc-defg, 10 characters (abc) def-ghij,
// any other length unchanged.
std::string FormatPhoneNumber(const std::string &Digits);

// A caller ID as people read it wherever it is shown (the caller-ID lists, the incoming-call
// bubble, the History tab): the router's characters, grouped by FormatPhoneNumber as the lists
// always grouped them. Files and machine answers (CSV, JSON) keep the router's text as it is.
QString CallerIdText(const std::string &Clid);

// "%d%%  (%fKB/s)": the percentage and its rate in KB/s on a channel of Speed Kbit/s, the rate
// with two decimals and the user's decimal separator. The product Percent * Speed is a 32-bit
// integer, as the router's figures are, and is then divided by 819.2 (100 * 8 * 1024 / 1000).
QString UsageText(int32_t Percent, int32_t Speed, const QLocale &Locale = QLocale());

// A counter grouped in threes with the locale's group separator ("178.451" in German,
// "178,451" in English and in the C locale): the window's counters, which sit beside UsageText's
// decimals and must not read as them. The web page, JSON, metrics and CSV keep GroupThousands.
QString GroupThousands(int64_t Value, const QLocale &Locale);

// Tray picture index of a four-character code letter-level-letter-level ("D3O0"): B1 picks the
// row of six (data levels 0..3, "O" idle, "V" voice), B2 the column. An idle or voice channel
// always shows its level-0 picture and levels are clamped to 0..3, so any code gives 0..35.
int TrayIconIndex(const std::string &Code);

// The tray picture for the two channels, 0..38. B1 "No Data" -> 38; B1 "Down" alternates 36
// (empty meter) and 37 (exclamation mark) through the window's blink toggle Tag; otherwise the
// meter of both channels' letters and usage levels.
int ChooseTrayPicture(const TChannelStatus &B1, const TChannelStatus &B2, int &Tag);

// The tray's tip: "<name> - B1[<link> <clu>%] B2[<link> <clu>%]", router bytes as they are,
// cut to the notification area's 63 characters.
constexpr std::size_t kTrayTipMax = 63;
std::string TrayTip(const TRouterStatus &Router, const TChannelStatus &B1, const TChannelStatus &B2);

// One caller-ID list item: the user's short date, a blank, the user's long time (without a
// time-zone name), " - " and the grouped number.
QString CallerIdItem(const QDateTime &When, const std::string &CLID);

// True while the channel shows a caller ID that its list does not hold yet.
inline bool CallerIdDue(const TChannelStatus &Channel)
{
    return !Channel.CLID.empty() && !Channel.CLIDLogged;
}

// The caller-ID step for one channel: a caller ID seen for the first time is appended once
// (Append gets the item) and marked logged; an empty caller ID clears the mark so the next call
// is logged again. Returns whether an item was appended.
using TCallerIdAppend = std::function<void(const QString &Item)>;
bool LogCallerId(TChannelStatus &Channel, const TCallerIdAppend &Append,
                 const QDateTime &Now = QDateTime::currentDateTime());

// Names for port numbers from the user's "services.ini" (section "tcp", key = port in decimal).
// The last answer is cached: the file is read again only for a different port or after
// Invalidate(), which the window calls whenever it resets the status record.
class TServiceNames
{
public:
    // The window sets the file's full path (the program's directory + "services.ini").
    void SetFileName(const std::string &Path);
    const std::string &FileName() const { return FFileName; }

    // The name of Port, never empty: "?" when the file, section or key is missing or the
    // value is empty.
    std::string LookupServiceName(int32_t Port);

    void Invalidate() { FValid = false; }

private:
    std::string FFileName;
    int32_t ServicePort = 0;
    std::string ServiceName;
    bool FValid = false; // starts invalid: the first lookup always reads the file
};

// The 90-second usage history of one channel: 91 percentages, point 0 the oldest (x = -90 s)
// and point 90 the newest (x = 0). Starts all zero; each Step shifts left by one.
class TUsageHistory
{
public:
    static constexpr int kPointCount = 91;

    // Drops the oldest point and stores Newest as point 90.
    void Step(double Newest);

    // The y value of point I; 0 for an index outside 0..90.
    double Y(int I) const;
    // The fixed x value of point I: I - 90 seconds.
    static int X(int I) { return I - (kPointCount - 1); }

    const std::array<double, kPointCount> &Values() const { return FValues; }

private:
    std::array<double, kPointCount> FValues{};
};
