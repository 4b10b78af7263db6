#include "bridge/bridge.h"

#include "bridge/ch341driver.h"
#include "bridge/ch347driver.h"

namespace ch341 {

Bridge::Bridge(UsbLink &link)
    : m_link(link)
{
}

Bridge::~Bridge() = default;

uintptr_t Bridge::open(BridgeChoice choice, uint32_t spiClockKHz)
{
    // A device lost in an earlier job may have been plugged in again: drop
    // the dead handle and look for it afresh. A failed session starts anew.
    if (m_driver && (m_driver->isLost() || m_driver->hasFailed()))
        m_driver->close();
    if (m_driver && m_driver->isOpen())
        return kOpenToken;
    OpenedBridge opened;
    m_lastChoice = choice;
    m_lastOpenResult = m_link.open(choice, opened);
    if (m_lastOpenResult != UsbResult::Ok)
        return kInvalidToken;
    if (!m_driver || opened.kind != m_kind) {
        m_kind = opened.kind;
        if (m_kind == BridgeKind::Ch347)
            m_driver = std::make_unique<Ch347Driver>(m_link);
        else
            m_driver = std::make_unique<Ch341Driver>(m_link);
    }
    m_driver->start(opened, spiClockKHz);
    return kOpenToken;
}

void Bridge::close()
{
    if (m_driver)
        m_driver->close();
}

const char *Bridge::spiClockText()
{
    m_spiClockText = m_driver && m_driver->isOpen() && !m_driver->hasFailed()
                         ? m_driver->spiClockText()
                         : std::string();
    return m_spiClockText.c_str();
}

const char *Bridge::busRefusal(EepromBus bus)
{
    m_busRefusal = m_driver && m_driver->isOpen() ? m_driver->busRefusal(bus) : std::string();
    return m_busRefusal.c_str();
}

} // namespace ch341
