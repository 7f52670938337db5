// SPDX-License-Identifier: MIT
// The descriptor limit and the reserve descriptor; see fdreserve.h.
#include "fdreserve.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int g_reserve = -1;

void releaseReserve()
{
    if (g_reserve < 0)
        return;
    ::close(g_reserve);
    g_reserve = -1;
}

} // namespace

bool RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool TakeReserveDescriptor()
{
    if (g_reserve < 0)
        g_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return g_reserve >= 0;
}

bool HoldsReserveDescriptor()
{
    return g_reserve >= 0;
}

TSpareDescriptor::TSpareDescriptor() : m_released(HoldsReserveDescriptor())
{
    releaseReserve();
}

TSpareDescriptor::~TSpareDescriptor()
{
    if (m_released)
        TakeReserveDescriptor();
}
