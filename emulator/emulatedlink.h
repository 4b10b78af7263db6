#pragma once

#include "chipmodel.h"
#include "emulatedbridge.h"
#include "i2ceeprom.h"
#include "microwireeeprom.h"
#include "spieeprom.h"
#include "spiflashchip.h"
#include "virtualclock.h"

#include "bridge/usblink.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// A CH341A or a CH347 with a part in its socket, behind the bridge's USB link seam: an SPI
// flash or a 25xx EEPROM (a model with spiEepromAddressBytes) on the SPI lines, or (by the
// model's bus) a 24xx EEPROM on the I2C lines or a 93xx on the pins, with
// no SPI flash then (9Fh reads FFh). Runs on the thread that calls the bridge library; time is
// virtual.
class EmulatedLink : public ch341::UsbLink
{
public:
    struct Counters
    {
        uint64_t exchanges = 0;        // blocking exchanges
        uint64_t outTransfers = 0;     // bulk OUT transfers
        uint64_t inTransfers = 0;      // bulk IN transfers asked for
        uint64_t packets = 0;          // OUT packets (32 bytes on a CH341A, 512 on a CH347)
        uint64_t controlTransfers = 0; // control requests
        uint64_t bytesOut = 0;
        uint64_t spiBytes = 0; // bytes clocked through the selected chip
        uint64_t sleepNs = 0;  // host-side pauses
    };

    static constexpr uint8_t kRequestVersion = 0x5F;
    static constexpr uint8_t kDefaultVersion = 0x30;
    // A real IN transfer that gets no packet gives up after its timeout.
    static constexpr uint64_t kInTimeoutNs = 1000 * VirtualClock::kNsPerMs;

    // A CH347 starts on the high-speed host profile.
    explicit EmulatedLink(const ChipModel &model = w25q64fv(),
                          ch341::BridgeKind bridge = ch341::BridgeKind::Ch341a);
    ~EmulatedLink() override;
    EmulatedLink(const EmulatedLink &) = delete;
    EmulatedLink &operator=(const EmulatedLink &) = delete;

    ch341::UsbResult open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened) override;
    void close() override;
    void drainIn() override;
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

    VirtualClock &clock() { return m_clock; }
    // The SPI flash; not attached to the bridge while an EEPROM is in the socket.
    SpiFlashChip &chip() { return m_chip; }
    // The EEPROM in the socket, if the model is one of that bus; else null.
    I2cEeprom *i2cEeprom() { return m_i2cEeprom.get(); }
    MicrowireEeprom *microwireEeprom() { return m_microwireEeprom.get(); }
    // The memory of whatever is in the socket.
    std::vector<uint8_t> &socketMemory();
    // A 25xx EEPROM in the socket instead of the flash chip, from now on.
    void insertSpiEeprom(const SpiEepromModel &model);
    // nullptr while another part is in the socket.
    SpiEeprom *spiEeprom() { return m_eeprom.get(); }
    // The SPI part in the socket: the 25xx EEPROM, else the flash chip.
    SpiDevice &device();
    EmulatedBridge &firmware() { return *m_firmware; }
    ch341::BridgeKind bridgeKind() const { return m_bridge; }
    bool isOpen() const { return m_open; }
    std::size_t pendingInPackets() const { return m_inFifo.size(); }

    const Counters &counters() const { return m_counters; }
    void resetCounters() { m_counters = Counters(); }

    // Every bulk OUT transfer the device receives from now on, in order.
    void recordOutTransfers() { m_recordingOut = true; }
    const ch341::OutTransfers &receivedOut() const { return m_receivedOut; }

    void setVersion(uint8_t version) { m_version = version; }
    // The bridge chip an open names ("CH347F"); by default the CH341A or the CH347T.
    void setBridgeModel(std::string model) { m_bridgeModel = std::move(model); }

    // What goes wrong with a transfer.
    enum class TransferFault {
        Unplug,     // the device is gone: calls give NoDevice, open gives NotFound
        OutTimeout, // an OUT transfer times out: the device sees nothing of it
        InTimeout,  // the device runs the OUT transfers; their answers never come
        ShortIn,    // an IN transfer comes back one byte short
        Stall,      // the endpoint stalls: the device sees nothing of it
    };

    // Faults.
    // n more transfers succeed (exchanges and control requests); the next one
    // meets the fault. All but an unplug hit that one transfer alone: the
    // device stays powered and answers the transfers after it.
    void failTransferAfter(uint64_t n, TransferFault fault);
    void unplugAfterTransfers(uint64_t n) { failTransferAfter(n, TransferFault::Unplug); }
    // Called once, when the fault has struck and the device has run whatever
    // of that transfer reached it.
    void setFaultObserver(std::function<void()> observer)
    {
        m_faultObserver = std::move(observer);
    }
    // Plugged in again: a fresh device whose pins are inputs; the chip keeps
    // its memory but went through a power cycle. An open handle stays dead.
    void replug();
    void setPresent(bool present);
    // Empty socket: MISO floats high, every SPI byte reads 0xFF; no I2C or Microwire part answers.
    void setNoChip(bool noChip);
    // The next exchange times out and never reaches the device, which keeps
    // its power and state; later exchanges work again.
    void timeOutNextExchange() { m_timeOutNext = true; }
    // A reply packet an aborted session left in the IN endpoint.
    void setStaleIn(std::vector<uint8_t> packet);

    // Loads the chip image from path now. From then on the chip is one programmer that one
    // process at a time may use: an open takes an advisory lock beside the image (another
    // process holding it makes the open Busy) and loads the image again; the close saves it,
    // whole under its name or not at all, and lets the lock go.
    void setImagePath(std::string path);

private:
    // False when another process holds the chip's image.
    bool claimImage();
    void releaseImage();
    // Counts one transfer; the fault that strikes it, if any.
    std::optional<TransferFault> consumeTransfer();
    ch341::UsbResult strike(ch341::UsbResult result);

    VirtualClock m_clock;
    // Puts the model's part on its bus, or nothing in the socket.
    void attachParts(bool present);

    SpiFlashChip m_chip;
    std::unique_ptr<I2cEeprom> m_i2cEeprom;
    std::unique_ptr<MicrowireEeprom> m_microwireEeprom;
    std::unique_ptr<SpiEeprom> m_eeprom;
    bool m_noChip = false;
    ch341::BridgeKind m_bridge;
    std::unique_ptr<EmulatedBridge> m_firmware;
    std::deque<std::vector<uint8_t>> m_inFifo;
    Counters m_counters;
    uint8_t m_version = kDefaultVersion;
    std::string m_bridgeModel;
    bool m_present = true;
    bool m_open = false;
    bool m_handleDead = false;
    std::optional<uint64_t> m_transfersLeft;
    TransferFault m_fault = TransferFault::Unplug;
    std::function<void()> m_faultObserver;
    bool m_timeOutNext = false;
    std::string m_imagePath;
    int m_lockFd = -1;
    bool m_holdsImage = false;
    bool m_recordingOut = false;
    ch341::OutTransfers m_receivedOut;
};

} // namespace emu
