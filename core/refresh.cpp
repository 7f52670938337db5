// SPDX-License-Identifier: MIT
// Formatting, picture choice, caller-ID rule, service names and usage history of the refresh.
// Everything here is plain data in, text or numbers out, so the window only places the results.
#include "refresh.h"

#include "inifile.h"

#include <QLocale>

#include <algorithm>
#include <exception>

std::string FormatPhoneNumber(const std::string &Digits)
{
    if (Digits.size() == 7)
        return Digits.substr(0, 3) + "-" + Digits.substr(3);
    if (Digits.size() == 10)
        return "(" + Digits.substr(0, 3) + ") " + Digits.substr(3, 3) + "-" + Digits.substr(6);
    return Digits;
}

QString UsageText(int32_t Percent, int32_t Speed, const QLocale &Locale)
{
    // The same figure as the web page's, with only the decimal point the user's: "%f" keeps ASCII
    // digits and no thousands separators.
    QString text = QString::fromLatin1(DefaultUsageText(Percent, Speed));
    text.replace(QLatin1Char('.'), Locale.decimalPoint());
    return text;
}

QString GroupThousands(int64_t Value, const QLocale &Locale)
{
    // Grouped by hand, not by QLocale::toString: the C locale omits its separator there, and the
    // English window has always shown the comma.
    QString text = QString::fromLatin1(GroupThousands(Value));
    const QString separator = Locale.groupSeparator();
    if (separator != QLatin1String(","))
        text.replace(QLatin1Char(','), separator);
    return text;
}

namespace {

constexpr int kMaxLevel = 3;

// 0..3 from a level digit; anything else (a missing or non-digit character) counts as 0.
int LevelDigit(const std::string &Code, std::size_t Pos)
{
    if (Pos >= Code.size() || Code[Pos] < '0' || Code[Pos] > '9')
        return 0;
    return std::min(Code[Pos] - '0', kMaxLevel);
}

char ChannelLetter(const TChannelStatus &Channel)
{
    if (Channel.Link == "Idle")
        return 'O';
    if (Channel.Link == "Voice")
        return 'V';
    return 'D';
}

// CLU 0..25 -> 0, 26..50 -> 1, 51..75 -> 2, 76..100 -> 3; the router's three digits can print
// more than 100 (or a blank field reads as 0), so the level is kept inside the picture table.
int UsageLevel(int32_t CLU)
{
    const int64_t level = static_cast<int64_t>(CLU) * 10 / 251;
    return static_cast<int>(std::clamp<int64_t>(level, 0, kMaxLevel));
}

} // namespace

int TrayIconIndex(const std::string &Code)
{
    const char first = Code.size() > 0 ? Code[0] : 'D';
    const char third = Code.size() > 2 ? Code[2] : 'D';
    const int A = first == 'O' ? 24 : first == 'V' ? 30 : 0;
    const int B = third == 'O' ? 4 : third == 'V' ? 5 : 0;
    // An idle or voice channel has a single picture per column/row: its level-0 one. Adding the
    // level there would move into the neighbouring picture or, for B1, past picture 38.
    const int D1 = A != 0 ? 0 : LevelDigit(Code, 1);
    const int D2 = B != 0 ? 0 : LevelDigit(Code, 3);
    return A + 6 * D1 + B + D2;
}

int ChooseTrayPicture(const TChannelStatus &B1, const TChannelStatus &B2, int &Tag)
{
    if (B1.Link == "No Data")
        return 38;
    if (B1.Link == "Down") {
        if (Tag == 0) {
            Tag = 1;
            return 36;
        }
        Tag = 0;
        return 37;
    }
    std::string code;
    code += ChannelLetter(B1);
    code += static_cast<char>('0' + UsageLevel(B1.CLU));
    code += ChannelLetter(B2);
    code += static_cast<char>('0' + UsageLevel(B2.CLU));
    return TrayIconIndex(code);
}

std::string TrayTip(const TRouterStatus &Router, const TChannelStatus &B1, const TChannelStatus &B2)
{
    std::string tip = Router.Name + " - B1[" + B1.Link + " " + std::to_string(B1.CLU) + "%] B2[" + B2.Link + " " +
                      std::to_string(B2.CLU) + "%]";
    if (tip.size() > kTrayTipMax)
        tip.resize(kTrayTipMax);
    return tip;
}

namespace {

// The locale's long time format without its time-zone name ('t' outside quotes): the list shows
// the local time of the call, and the zone only widens every item.
QString LongTimeFormatWithoutZone(const QLocale &Locale)
{
    const QString format = Locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        result += c;
    }
    return result.trimmed();
}

} // namespace

QString CallerIdText(const std::string &Clid)
{
    const std::string number = FormatPhoneNumber(Clid);
    return QString::fromLatin1(number.data(), static_cast<qsizetype>(number.size()));
}

QString CallerIdItem(const QDateTime &When, const std::string &CLID)
{
    const QLocale locale;
    return locale.toString(When.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(When.time(), LongTimeFormatWithoutZone(locale)) + QLatin1String(" - ") + CallerIdText(CLID);
}

bool LogCallerId(TChannelStatus &Channel, const TCallerIdAppend &Append, const QDateTime &Now)
{
    if (CallerIdDue(Channel)) {
        if (Append)
            Append(CallerIdItem(Now, Channel.CLID));
        Channel.CLIDLogged = true;
        return true;
    }
    if (Channel.CLID.empty())
        Channel.CLIDLogged = false;
    return false;
}

void TServiceNames::SetFileName(const std::string &Path)
{
    FFileName = Path;
    FValid = false;
}

std::string TServiceNames::LookupServiceName(int32_t Port)
{
    if (!FValid || Port != ServicePort) {
        ServiceName = "?";
        // The file is the user's and optional: whatever goes wrong reading it, the name is "?".
        if (!FFileName.empty()) {
            try {
                ServiceName = TIniFile(FFileName).ReadString("tcp", std::to_string(Port), "?");
            } catch (const std::exception &) {
                ServiceName = "?";
            }
        }
        ServicePort = Port;
        FValid = true;
    }
    if (ServiceName.empty())
        ServiceName = "?";
    return ServiceName;
}

void TUsageHistory::Step(double Newest)
{
    std::copy(FValues.begin() + 1, FValues.end(), FValues.begin());
    FValues.back() = Newest;
}

double TUsageHistory::Y(int I) const
{
    if (I < 0 || I >= kPointCount)
        return 0;
    return FValues[static_cast<std::size_t>(I)];
}
