#pragma once

// The host profiles every benchmark runs, by the names its options take.

#include "emulator/buscost.h"

struct HostCase
{
    const char *name;
    emu::HostProfile profile;
};

inline constexpr HostCase kHosts[] = {{"frame", emu::HostProfile::Frame},
                                      {"modern", emu::HostProfile::Modern}};
