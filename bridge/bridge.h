#pragma once

// Bridge: the library's one device. It opens whichever supported bridge chip
// the link finds and hands the operations to that chip's driver. Runs on the
// job's worker thread; the two settings below may be made from any thread
// before a job starts.

#include "bridge/bridgedriver.h"
#include "bridge/usblink.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ch341 {

class Bridge
{
public:
    // Open token handed out for device 0; never 0 and never all bits set.
    static constexpr uintptr_t kOpenToken = 0x5512;
    static constexpr uintptr_t kInvalidToken = ~uintptr_t(0);

    explicit Bridge(UsbLink &link);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // spiClockKHz: the clock the operator chose, 0 for the bridge's default.
    uintptr_t open(BridgeChoice choice, uint32_t spiClockKHz);
    void close();
    // The driver of the open device, or of the device opened last; null
    // before the first successful open.
    BridgeDriver *driver() { return m_driver.get(); }
    UsbResult lastOpenResult() const { return m_lastOpenResult; }
    BridgeChoice lastChoice() const { return m_lastChoice; }
    // Held until the next call.
    const char *spiClockText();
    // Why the open bridge cannot reach parts on the bus, empty when it can or nothing is
    // open; held until the next call.
    const char *busRefusal(EepromBus bus);

private:
    UsbLink &m_link;
    std::unique_ptr<BridgeDriver> m_driver;
    BridgeKind m_kind = BridgeKind::Ch341a;
    UsbResult m_lastOpenResult = UsbResult::Ok;
    BridgeChoice m_lastChoice = BridgeChoice::Any;
    std::string m_spiClockText;
    std::string m_busRefusal;
};

// The bridge behind the C functions, working over usbLink(); created on first
// use and replaced by installUsbLink().
Bridge &libraryBridge();
// Its driver for device index 0 (the only one); null for any other index and
// before the first successful open.
BridgeDriver *libraryDriver(uint32_t index);

// Which bridge the next open looks for, and the SPI clock a CH347 is given
// (kHz, 0 for its default). Kept across installUsbLink().
void setBridgeChoice(BridgeChoice choice);
BridgeChoice bridgeChoice();
void setSpiClockKHz(uint32_t kHz);
uint32_t spiClockKHz();

} // namespace ch341
