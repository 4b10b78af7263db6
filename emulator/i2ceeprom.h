#pragma once

#include "chipmodel.h"
#include "i2cdevice.h"

#include <cstdint>
#include <map>
#include <vector>

namespace emu {

class VirtualClock;

// A 24xx I2C EEPROM as its datasheet describes it, parameterised by a ChipModel (size, page,
// word address bytes, block bits in the device address, tWR, WP variant). Runs on the
// thread that drives the emulated programmer.
class I2cEeprom : public I2cDevice
{
public:
    // One write cycle: where its data began and how many data bytes came (a page write
    // wraps inside its page when more than the rest of the page came).
    struct WriteCycle
    {
        uint32_t address;
        uint32_t bytes;
    };

    I2cEeprom(const ChipModel &model, VirtualClock &clock);

    void start() override;
    void stop() override;
    bool write(uint8_t byte) override;
    uint8_t read(bool acknowledge) override;

    const ChipModel &model() const { return m_model; }
    std::vector<uint8_t> &memory() { return m_memory; }
    const std::vector<uint8_t> &memory() const { return m_memory; }
    // The internal address pointer: the next byte a current-address read returns.
    uint32_t addressPointer() const { return m_pointer; }
    bool isBusy() const;
    // The WP pin (ST: WC); CH341A boards tie it low.
    void setWriteProtectPin(bool high) { m_writeProtected = high; }
    // Power lost: a write cycle in progress is lost, the pointer returns to 0.
    void powerCycle();
    const std::vector<WriteCycle> &writeCycles() const { return m_writeCycles; }

private:
    enum class State {
        Idle,        // waits for a START
        DeviceByte,  // the byte after a START
        WordAddress, // collecting the word address
        Writing,     // data bytes into the page buffer
        Reading,     // bytes out from the pointer
        HoldingSda,  // a read the host acknowledged last: the part drives SDA for the next bit
    };

    bool takeDeviceByte(uint8_t byte);
    bool takeWordAddressByte(uint8_t byte);
    uint32_t sizeMask() const { return m_model.sizeBytes - 1; }

    ChipModel m_model;
    VirtualClock &m_clock;
    std::vector<uint8_t> m_memory;
    State m_state = State::Idle;
    uint32_t m_pointer = 0;
    uint32_t m_block = 0;
    uint32_t m_wordAddress = 0;
    uint8_t m_addressBytesSeen = 0;
    // The page write in progress: its page, the data by offset, and the bytes sent.
    uint32_t m_pageBase = 0;
    uint32_t m_writeStart = 0;
    uint32_t m_bytesSent = 0;
    std::map<uint32_t, uint8_t> m_pageBuffer;
    bool m_lastReadAcknowledged = false;
    bool m_writeProtected = false;
    uint64_t m_busyUntilNs = 0;
    std::vector<WriteCycle> m_writeCycles;
};

} // namespace emu
