#pragma once

// ForwardingLink: hands every USB call to an emulated programmer, so that a
// benchmark's link overrides only the calls it watches or paces. Runs on the
// job's thread.

#include "emulator/emulatedlink.h"

#include "bridge/usblink.h"

#include <memory>

class ForwardingLink : public ch341::UsbLink
{
public:
    explicit ForwardingLink(std::unique_ptr<emu::EmulatedLink> inner)
        : m_inner(std::move(inner))
    {
    }

    emu::EmulatedLink &emulated() { return *m_inner; }

    ch341::UsbResult open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened) override
    {
        return m_inner->open(choice, opened);
    }
    void close() override { m_inner->close(); }
    void drainIn() override { m_inner->drainIn(); }
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override
    {
        return m_inner->controlIn(request, value, index, data, length, transferred);
    }
    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override
    {
        return m_inner->exchange(out, inLengths, in);
    }
    void sleepMs(uint32_t milliseconds) override { m_inner->sleepMs(milliseconds); }

private:
    std::unique_ptr<emu::EmulatedLink> m_inner;
};
