#include "microwireeeprom.h"

#include "virtualclock.h"

#include <algorithm>

namespace emu {

namespace {

// Opcodes after the start bit; 00 takes its meaning from the two address bits after it.
constexpr uint32_t kOpRead = 0b10;
constexpr uint32_t kOpWrite = 0b01;
constexpr uint32_t kOpErase = 0b11;
constexpr uint32_t kOpSpecial = 0b00;
constexpr uint32_t kSpecialEwen = 0b11;
constexpr uint32_t kSpecialEwds = 0b00;
constexpr uint32_t kSpecialEral = 0b10;
constexpr uint32_t kSpecialWral = 0b01;
constexpr uint32_t kOpcodeBits = 2;
constexpr uint8_t kErased = 0xFF;

} // namespace

MicrowireEeprom::MicrowireEeprom(const ChipModel &model, VirtualClock &clock)
    : m_model(model)
    , m_clock(clock)
    , m_memory(model.sizeBytes, kErased)
{
}

bool MicrowireEeprom::isBusy() const
{
    return m_clock.nowNs() < m_busyUntilNs;
}

void MicrowireEeprom::powerCycle()
{
    m_writeEnabled = false;
    m_busyUntilNs = 0;
    m_showStatus = false;
    m_state = State::WaitingStart;
    m_pending = Pending::None;
}

void MicrowireEeprom::setPins(bool chipSelect, bool clock, bool dataIn)
{
    if (!chipSelect) {
        // CS low resets the control logic and carries out a complete instruction.
        if (m_chipSelect)
            chipSelectFell();
        m_chipSelect = false;
        m_clockHigh = clock;
        return;
    }
    const bool rising = m_chipSelect && clock && !m_clockHigh;
    if (!m_chipSelect) {
        m_chipSelect = true;
        m_state = State::WaitingStart;
    }
    m_clockHigh = clock;
    if (rising)
        risingClock(dataIn);
}

bool MicrowireEeprom::dataOut() const
{
    if (!m_chipSelect)
        return true;
    // After a programming instruction, CS high before a start bit shows the cycle on DO.
    if (m_state == State::WaitingStart && m_showStatus)
        return !isBusy();
    return m_state == State::Reading ? m_dataOut : true;
}

void MicrowireEeprom::risingClock(bool dataIn)
{
    const uint32_t bit = dataIn ? 1 : 0;
    switch (m_state) {
    case State::WaitingStart:
        // Clocks before the start bit are ignored: leading zeros are harmless.
        if (!dataIn)
            return;
        ++m_instructions;
        m_showStatus = false;
        m_bits = 0;
        m_bitCount = 0;
        m_state = isBusy() ? State::Spoiled : State::Command;
        return;
    case State::Command:
        m_bits = m_bits << 1 | bit;
        if (++m_bitCount == kOpcodeBits + m_model.microwireAddressBits)
            decode();
        return;
    case State::Data:
        m_data = m_data << 1 | bit;
        if (++m_bitCount == m_model.microwireWordBits)
            m_state = State::Complete;
        return;
    case State::Reading:
        // Each rising edge puts the next bit on DO; words follow each other without a
        // further dummy bit, wrapping at the end.
        if (++m_readBit > m_model.microwireWordBits) {
            m_address = (m_address + 1) % words();
            m_readWord = wordAt(m_address);
            m_readBit = 1;
        }
        m_dataOut = (m_readWord >> (m_model.microwireWordBits - m_readBit)) & 1;
        return;
    case State::Complete:
        m_state = State::Spoiled; // a bit too many: the instruction is void
        return;
    case State::Spoiled:
        return;
    }
}

void MicrowireEeprom::decode()
{
    const uint32_t addressBits = m_model.microwireAddressBits;
    const uint32_t opcode = m_bits >> addressBits;
    m_address = (m_bits & ((1u << addressBits) - 1)) % words();
    m_data = 0;
    m_bitCount = 0;
    m_state = State::Complete;
    switch (opcode) {
    case kOpRead:
        // A dummy 0 comes first, at the rising edge of the last address bit.
        m_state = State::Reading;
        m_readWord = wordAt(m_address);
        m_readBit = 0;
        m_dataOut = false;
        return;
    case kOpWrite:
        m_pending = Pending::Write;
        m_state = State::Data;
        return;
    case kOpErase:
        m_pending = Pending::Erase;
        return;
    case kOpSpecial:
        break;
    }
    switch ((m_bits >> (addressBits - 2)) & 0b11) {
    case kSpecialEwen:
        m_pending = Pending::Enable;
        return;
    case kSpecialEwds:
        m_pending = Pending::Disable;
        return;
    case kSpecialEral:
        m_pending = Pending::EraseAll;
        return;
    case kSpecialWral:
        m_pending = Pending::WriteAll;
        m_state = State::Data;
        return;
    }
}

void MicrowireEeprom::chipSelectFell()
{
    const Pending pending = m_state == State::Complete ? m_pending : Pending::None;
    m_pending = Pending::None;
    m_state = State::WaitingStart;
    const uint32_t allOnes = (1u << m_model.microwireWordBits) - 1;
    const bool programs =
        pending != Pending::None && pending != Pending::Enable && pending != Pending::Disable;
    if (pending == Pending::Enable || pending == Pending::Disable)
        m_writeEnabled = pending == Pending::Enable;
    // Without EWEN programming instructions are ignored: no cycle runs.
    if (!programs || !m_writeEnabled)
        return;
    switch (pending) {
    case Pending::Write:
    case Pending::Erase:
        setWord(m_address, pending == Pending::Write ? m_data : allOnes);
        startCycle(m_model.writeCycleNs);
        return;
    case Pending::EraseAll:
    case Pending::WriteAll:
        for (uint32_t word = 0; word < words() && !m_eraseAllUnreliable; ++word)
            setWord(word, pending == Pending::WriteAll ? m_data : allOnes);
        startCycle(pending == Pending::WriteAll ? m_model.writeAllNs : m_model.eraseAllNs);
        return;
    default:
        return;
    }
}

void MicrowireEeprom::startCycle(uint64_t ns)
{
    ++m_cycles;
    m_busyUntilNs = m_clock.nowNs() + ns;
    m_showStatus = true;
}

uint32_t MicrowireEeprom::wordAt(uint32_t address) const
{
    if (m_model.microwireWordBits == 8)
        return m_memory[address];
    return uint32_t(m_memory[2 * address]) << 8 | m_memory[2 * address + 1];
}

void MicrowireEeprom::setWord(uint32_t address, uint32_t value)
{
    if (m_model.microwireWordBits == 8) {
        m_memory[address] = uint8_t(value);
        return;
    }
    m_memory[2 * address] = uint8_t(value >> 8);
    m_memory[2 * address + 1] = uint8_t(value);
}

} // namespace emu
