// SPDX-License-Identifier: MIT
// Defaults of the status record; see statusmodel.h.
#include "statusmodel.h"

namespace {
void resetChannel(TChannelStatus &channel)
{
    const bool logged = channel.CLIDLogged;
    channel = TChannelStatus{};
    channel.CLIDLogged = logged;
}
} // namespace

void ResetStatus(TChannelStatus &B1, TChannelStatus &B2, TRouterStatus &Router)
{
    resetChannel(B1);
    resetChannel(B2);
    Router = TRouterStatus{};
}
