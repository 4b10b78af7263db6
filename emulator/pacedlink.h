#pragma once

#include "emulatedlink.h"

#include "bridge/usblink.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace emu {

// An emulated programmer held to real time: after each transfer it sleeps
// until real time has caught up with the virtual time the bus model gave the
// traffic, divided by a speedup (1: as fast as a real bridge), on the bus model
// of the given host. Runs on the thread that calls the bridge library.
class PacedLink : public ch341::UsbLink
{
public:
    PacedLink(std::unique_ptr<EmulatedLink> inner, double speedup, HostProfile host);

    EmulatedLink &emulated() { return *m_inner; }

    ch341::UsbResult open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened) override;
    void close() override { m_inner->close(); }
    void drainIn() override { m_inner->drainIn(); }
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

private:
    void keepPace();
    void restartPace();

    std::unique_ptr<EmulatedLink> m_inner;
    double m_speedup;
    std::chrono::steady_clock::time_point m_realStart;
    uint64_t m_virtualStartNs = 0;
};

} // namespace emu
