#include "virtualclock.h"

namespace emu {

void VirtualClock::advanceToNextFrame()
{
    m_nowNs = (m_nowNs / kFrameNs + 1) * kFrameNs;
}

} // namespace emu
