// SPDX-License-Identifier: MIT
// Peer addresses and the allow-list: see addressfilter.h.
#include "addressfilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>

std::optional<uint32_t> PeerIPv4(int Handle)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (Handle < 0 || ::getpeername(Handle, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return ntohl(address.sin_addr.s_addr);
}

namespace {

// A decimal number of at most three digits up to Max, all of Text.
std::optional<uint32_t> smallNumber(std::string_view Text, uint32_t Max)
{
    uint32_t value = 0;
    if (Text.empty() || Text.size() > 3)
        return std::nullopt;
    const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (error != std::errc() || end != Text.data() + Text.size() || value > Max)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<uint32_t> ParseIPv4(std::string_view Text)
{
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = part < 3 ? Text.find('.') : Text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::optional<uint32_t> octet = smallNumber(Text.substr(0, dot), 255);
        if (!octet)
            return std::nullopt;
        address = address << 8 | *octet;
        Text.remove_prefix(std::min(Text.size(), dot + 1));
    }
    return address;
}

std::string IPv4Text(uint32_t Address)
{
    return std::to_string(Address >> 24) + "." + std::to_string(Address >> 16 & 0xff) + "." +
           std::to_string(Address >> 8 & 0xff) + "." + std::to_string(Address & 0xff);
}

TAddressFilter TAddressFilter::Parse(std::string_view Text, std::vector<std::string> *Rejected)
{
    TAddressFilter filter;
    constexpr std::string_view kSeparators = ", \t";
    while (!Text.empty()) {
        const size_t start = Text.find_first_not_of(kSeparators);
        if (start == std::string_view::npos)
            break;
        Text.remove_prefix(start);
        const std::string_view entry = Text.substr(0, Text.find_first_of(kSeparators));
        Text.remove_prefix(entry.size());
        const size_t slash = entry.find('/');
        const std::optional<uint32_t> address = ParseIPv4(entry.substr(0, slash));
        const std::optional<uint32_t> prefix =
            slash == std::string_view::npos ? std::optional<uint32_t>(32) : smallNumber(entry.substr(slash + 1), 32);
        if (!address || !prefix) {
            if (Rejected)
                Rejected->emplace_back(entry);
            continue;
        }
        const uint32_t mask = *prefix == 0 ? 0 : ~uint32_t(0) << (32 - *prefix);
        filter.m_blocks.push_back({*address & mask, mask});
    }
    return filter;
}

bool TAddressFilter::Allows(uint32_t Address) const
{
    if (m_blocks.empty())
        return true;
    for (const TBlock &block : m_blocks) {
        if ((Address & block.Mask) == block.Network)
            return true;
    }
    return false;
}
