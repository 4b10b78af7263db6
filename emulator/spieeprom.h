#pragma once

#include "chipmodel.h"
#include "spidevice.h"

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

class VirtualClock;

// One 25xx SPI EEPROM part as its datasheet describes it; plain data.
struct SpiEepromModel
{
    std::string name;
    uint32_t sizeBytes = 0;
    uint32_t pageSize = 0;
    // Address bytes after READ / WRITE: 1 up to 4 Kbit, 2 up to 512 Kbit, 3 above.
    int addressBytes = 2;
    // 4-Kbit parts carry address bit 8 in bit 3 of the READ and WRITE opcodes.
    bool a8InOpcode = false;
    // The write cycle after a WRITE or WRSR, the datasheet's maximum.
    uint64_t writeCycleNs = 5000000;
};

// Microchip 25LC640: 8 KiB, 32-byte pages, 2-byte addresses, BP1:BP0.
SpiEepromModel eeprom25lc640();
// Atmel AT25040 / Microchip 25xx040: 512 bytes, 16-byte pages, 1-byte address with A8 in the
// opcode.
SpiEepromModel eeprom25040();

// The same part as an entry of the emulator's one catalogue (chipcatalog.h), and back.
ChipModel catalogEntryOf(const SpiEepromModel &model);
SpiEepromModel spiEepromModelOf(const ChipModel &entry);

// A 25xx SPI EEPROM: WREN before every WRITE and WRSR (WEL clears when the cycle ends, a WRITE
// without WEL is ignored), WIP for the write cycle on the virtual clock, the page buffer that
// wraps inside its page, BP1:BP0 protecting the upper quarter, half or all, and a chip-select
// rise before a whole data byte that starts nothing.
class SpiEeprom : public SpiDevice
{
public:
    static constexpr uint8_t kStatusWip = 0x01;
    static constexpr uint8_t kStatusWel = 0x02;
    static constexpr uint8_t kStatusBlockProtect = 0x0C;
    static constexpr uint8_t kStatusWpen = 0x80;

    SpiEeprom(SpiEepromModel model, VirtualClock &clock);

    const SpiEepromModel &model() const { return m_model; }

    void setSelected(bool selected) override;
    bool isSelected() const override { return m_selected; }
    uint8_t transfer(uint8_t mosi) override;
    void powerCycle() override;
    std::vector<uint8_t> &memory() override { return m_memory; }
    const std::vector<uint8_t> &memory() const override { return m_memory; }

    uint8_t status() const;
    bool isBusy() const;
    // BP1:BP0 (0 to 3) and WPEN, as if written by WRSR.
    void setStatusBits(uint8_t bits) { m_status = bits & (kStatusBlockProtect | kStatusWpen); }
    // The board's WP# line; with it low and WPEN set, WRSR is ignored.
    void setWriteProtectPin(bool high) { m_writeProtectHigh = high; }

    // Every chip-select window: the bytes the part received on MOSI.
    const std::vector<std::vector<uint8_t>> &frames() const { return m_frames; }
    void clearFrames() { m_frames.clear(); }
    // WRITE commands whose data ran past the end of their page (and so wrapped inside it).
    uint32_t pageCrossings() const { return m_pageCrossings; }
    // Instructions but RDSR that came during a write cycle (and so were ignored).
    uint32_t busyRefusals() const { return m_busyRefusals; }

private:
    void finishWrite();
    void finishStatusWrite();
    bool isProtected(uint32_t address) const;
    uint8_t respond(uint8_t mosi);
    uint32_t addressOfCommand() const;

    SpiEepromModel m_model;
    VirtualClock &m_clock;
    std::vector<uint8_t> m_memory;
    uint8_t m_status = 0; // BP1:BP0 and WPEN; WIP and WEL live apart
    bool m_wel = false;
    uint64_t m_busyUntilNs = 0;
    bool m_writeProtectHigh = true;
    uint32_t m_pageCrossings = 0;
    uint32_t m_busyRefusals = 0;

    bool m_selected = false;
    bool m_ignoring = false;
    std::vector<uint8_t> m_command; // the window's bytes on MOSI
    std::vector<std::vector<uint8_t>> m_frames;
};

} // namespace emu
