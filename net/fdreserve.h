// SPDX-License-Identifier: MIT
// The process's descriptor budget: the soft limit raised to the hard one at start, and one
// descriptor kept in reserve so that the settings save still finds one when a flood of peers has
// taken all the others.
#pragma once

// Raises the soft RLIMIT_NOFILE to the hard limit. Returns whether the two are equal afterwards.
bool RaiseDescriptorLimit();

// Takes the reserve descriptor (one open of /dev/null) if it is not held. Returns whether it is
// held afterwards.
bool TakeReserveDescriptor();
// Whether the reserve descriptor is held now.
bool HoldsReserveDescriptor();

// Gives the reserve back to the process for as long as it lives, then takes it again. Nothing
// between the two may turn the event loop: an accept could take the freed descriptor first.
class TSpareDescriptor
{
public:
    TSpareDescriptor();
    ~TSpareDescriptor();
    TSpareDescriptor(const TSpareDescriptor &) = delete;
    TSpareDescriptor &operator=(const TSpareDescriptor &) = delete;

private:
    bool m_released;
};
