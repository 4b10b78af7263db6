#include "spieeprom.h"

#include "virtualclock.h"

#include <utility>

namespace emu {

namespace {
constexpr uint8_t kErased = 0xFF;
constexpr uint8_t kWriteStatus = 0x01;
constexpr uint8_t kWrite = 0x02;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kWriteDisable = 0x04;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kWriteEnable = 0x06;
// Bit 3 of READ and WRITE on 4-Kbit parts: address bit 8.
constexpr uint8_t kOpcodeA8 = 0x08;
} // namespace

SpiEepromModel eeprom25lc640()
{
    SpiEepromModel model;
    model.name = "25LC640";
    model.sizeBytes = 8192;
    model.pageSize = 32;
    model.addressBytes = 2;
    return model;
}

SpiEepromModel eeprom25040()
{
    SpiEepromModel model;
    model.name = "25040";
    model.sizeBytes = 512;
    model.pageSize = 16;
    model.addressBytes = 1;
    model.a8InOpcode = true;
    return model;
}

ChipModel catalogEntryOf(const SpiEepromModel &model)
{
    ChipModel entry;
    entry.name = model.name;
    entry.sizeBytes = model.sizeBytes;
    entry.pageSize = model.pageSize;
    entry.spiEepromAddressBytes = uint8_t(model.addressBytes);
    entry.spiEepromA8InOpcode = model.a8InOpcode;
    entry.writeCycleNs = model.writeCycleNs;
    return entry;
}

SpiEepromModel spiEepromModelOf(const ChipModel &entry)
{
    SpiEepromModel model;
    model.name = entry.name;
    model.sizeBytes = entry.sizeBytes;
    model.pageSize = entry.pageSize;
    model.addressBytes = entry.spiEepromAddressBytes;
    model.a8InOpcode = entry.spiEepromA8InOpcode;
    model.writeCycleNs = entry.writeCycleNs;
    return model;
}

SpiEeprom::SpiEeprom(SpiEepromModel model, VirtualClock &clock)
    : m_model(std::move(model))
    , m_clock(clock)
    , m_memory(m_model.sizeBytes, kErased)
{
}

bool SpiEeprom::isBusy() const
{
    return m_clock.nowNs() < m_busyUntilNs;
}

uint8_t SpiEeprom::status() const
{
    // WEL reads set until the cycle it enabled has ended.
    const bool busy = isBusy();
    return uint8_t(m_status | (busy ? kStatusWip : 0) | (m_wel || busy ? kStatusWel : 0));
}

void SpiEeprom::powerCycle()
{
    m_wel = false;
    m_busyUntilNs = 0;
    m_selected = false;
    m_command.clear();
}

void SpiEeprom::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    if (selected) {
        m_command.clear();
        m_ignoring = false;
        return;
    }
    if (m_command.empty())
        return;
    if (m_ignoring)
        return;
    // Commands take effect as chip select rises after their last whole byte.
    const uint8_t opcode = m_model.a8InOpcode ? uint8_t(m_command[0] & ~kOpcodeA8) : m_command[0];
    if (opcode == kWriteEnable)
        m_wel = true;
    else if (opcode == kWriteDisable)
        m_wel = false;
    else if (opcode == kWrite)
        finishWrite();
    else if (opcode == kWriteStatus)
        finishStatusWrite();
}

uint8_t SpiEeprom::transfer(uint8_t mosi)
{
    if (!m_selected)
        return kErased;
    m_command.push_back(mosi);
    // A window counts from its first byte, whether or not chip select ever rises after it.
    if (m_command.size() == 1)
        m_frames.emplace_back();
    m_frames.back().push_back(mosi);
    if (m_command.size() == 1) {
        // During a write cycle only the status is read; a WRITE or READ opcode of another
        // form (A8 on a part without it) is no command.
        const uint8_t base = m_model.a8InOpcode ? uint8_t(mosi & ~kOpcodeA8) : mosi;
        const bool known = base == kRead || base == kWrite ||
                           (mosi == base && (mosi == kWriteStatus || mosi == kWriteDisable ||
                                             mosi == kReadStatus || mosi == kWriteEnable));
        const bool refusedBusy = known && isBusy() && mosi != kReadStatus;
        m_busyRefusals += refusedBusy ? 1 : 0;
        m_ignoring = !known || refusedBusy;
        return kErased;
    }
    return m_ignoring ? kErased : respond(mosi);
}

uint8_t SpiEeprom::respond(uint8_t)
{
    const uint8_t opcode = m_command[0];
    if (opcode == kReadStatus)
        return status();
    const std::size_t header = 1 + std::size_t(m_model.addressBytes);
    if ((opcode & ~kOpcodeA8) != kRead || m_command.size() <= header)
        return kErased;
    // The address counter runs over the whole array and wraps from its end to 0.
    const uint32_t offset = uint32_t(m_command.size() - header - 1);
    return m_memory[(addressOfCommand() + offset) % m_model.sizeBytes];
}

uint32_t SpiEeprom::addressOfCommand() const
{
    uint32_t address = 0;
    for (int i = 1; i <= m_model.addressBytes; ++i)
        address = (address << 8) | m_command[std::size_t(i)];
    if (m_model.a8InOpcode && (m_command[0] & kOpcodeA8))
        address |= 0x100;
    return address % m_model.sizeBytes;
}

bool SpiEeprom::isProtected(uint32_t address) const
{
    switch ((m_status & kStatusBlockProtect) >> 2) {
    case 1:
        return address >= m_model.sizeBytes / 4 * 3;
    case 2:
        return address >= m_model.sizeBytes / 2;
    case 3:
        return true;
    default:
        return false;
    }
}

void SpiEeprom::finishWrite()
{
    const std::size_t header = 1 + std::size_t(m_model.addressBytes);
    if (!m_wel || m_command.size() <= header)
        return;
    m_wel = false;
    const uint32_t start = addressOfCommand();
    if (isProtected(start))
        return;
    // The page buffer's address wraps inside the page: bytes past its end overwrite its start.
    const uint32_t page = m_model.pageSize;
    const uint32_t base = start - start % page;
    const std::size_t count = m_command.size() - header;
    if (start % page + count > page)
        ++m_pageCrossings;
    for (std::size_t i = 0; i < count; ++i)
        m_memory[base + (start % page + i) % page] = m_command[header + i];
    m_busyUntilNs = m_clock.nowNs() + m_model.writeCycleNs;
}

void SpiEeprom::finishStatusWrite()
{
    if (!m_wel || m_command.size() < 2)
        return;
    m_wel = false;
    if ((m_status & kStatusWpen) && !m_writeProtectHigh)
        return;
    m_status = m_command[1] & (kStatusBlockProtect | kStatusWpen);
    m_busyUntilNs = m_clock.nowNs() + m_model.writeCycleNs;
}

} // namespace emu
