// Formatting, picture choice, caller-ID rule, service names and usage history of the refresh.
#include "refresh.h"

std::string GroupThousands(int64_t)
{
    return {};
}

std::string FormatPhoneNumber(const std::string &Digits)
{
    return Digits;
}

QString UsageText(int32_t, int32_t)
{
    return {};
}

int TrayIconIndex(const std::string &)
{
    return 0;
}

int ChooseTrayPicture(const TChannelStatus &, const TChannelStatus &, int &)
{
    return 38;
}

std::string TrayTip(const TRouterStatus &, const TChannelStatus &, const TChannelStatus &)
{
    return {};
}

QString CallerIdItem(const QDateTime &, const std::string &)
{
    return {};
}

bool LogCallerId(TChannelStatus &, const TCallerIdAppend &, const QDateTime &)
{
    return false;
}

void TServiceNames::SetFileName(const std::string &Path)
{
    FFileName = Path;
    FValid = false;
}

std::string TServiceNames::LookupServiceName(int32_t)
{
    return "?";
}

void TUsageHistory::Step(double) {}

double TUsageHistory::Y(int) const
{
    return 0;
}
