// SPDX-License-Identifier: MIT
// IPv4 peer addresses as numbers: the peer of a connected descriptor, whether it is this machine,
// and an allow-list of addresses and CIDR blocks ("192.168.1.0/24 10.0.0.5") that the listeners
// check a newcomer against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// 127.0.0.1 in host order: what the monitor's own callers (tests, the benchmark) count as.
inline constexpr uint32_t kLoopbackAddress = 0x7f000001;

// The peer's IPv4 address of a connected descriptor in host order, or nothing when it has none
// (a reset connection) or is not IPv4.
std::optional<uint32_t> PeerIPv4(int Handle);
// A dotted IPv4 address in host order, or nothing for anything else ("10.0.0", "1.2.3.256").
std::optional<uint32_t> ParseIPv4(std::string_view Text);
std::string IPv4Text(uint32_t Address);
// 127.0.0.0/8: a client on this machine.
inline bool IsLoopback(uint32_t Address)
{
    return (Address >> 24) == 127;
}

class TAddressFilter
{
public:
    // Entries separated by commas or white space, each an address or address/prefix (0 to 32).
    // A bad entry is named in Rejected and left out; the rest still apply.
    static TAddressFilter Parse(std::string_view Text, std::vector<std::string> *Rejected = nullptr);

    // Empty: everyone is allowed.
    bool Empty() const { return m_blocks.empty(); }
    bool Allows(uint32_t Address) const;

private:
    struct TBlock
    {
        uint32_t Network;
        uint32_t Mask;
    };
    std::vector<TBlock> m_blocks;
};
