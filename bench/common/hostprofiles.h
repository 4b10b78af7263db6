#pragma once

// The host profiles every benchmark runs, by the names its options take.

#include "emulator/buscost.h"

struct HostCase
{
    const char *name;
    emu::HostProfile profile;
};

// The CH341A's hosts.
inline constexpr HostCase kHosts[] = {{"frame", emu::HostProfile::Frame},
                                      {"modern", emu::HostProfile::Modern}};
// The CH347's, a high-speed device: exchanges start at the next microframe.
inline constexpr HostCase kHighSpeedHost = {"highspeed", emu::HostProfile::HighSpeed};
