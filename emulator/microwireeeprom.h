#pragma once

#include "chipmodel.h"
#include "microwiredevice.h"

#include <cstdint>
#include <vector>

namespace emu {

class VirtualClock;

// A 93xx Microwire EEPROM as its datasheet describes it, in x8 or x16 organisation
// (ChipModel: size, word bits, address bits, tWC, tEC, tWL). An instruction is a start bit
// (the first 1 on DI at a rising clock with CS high), two opcode bits, the address bits and,
// for WRITE and WRAL, one word, most significant bit first; programming waits for EWEN
// (off at power-up) and starts when CS falls after exactly those bits. The memory holds each
// x16 word most significant byte first, as it travels. Runs on the thread that drives the
// emulated programmer.
class MicrowireEeprom : public MicrowireDevice
{
public:
    MicrowireEeprom(const ChipModel &model, VirtualClock &clock);

    void setPins(bool chipSelect, bool clock, bool dataIn) override;
    bool dataOut() const override;

    const ChipModel &model() const { return m_model; }
    std::vector<uint8_t> &memory() { return m_memory; }
    const std::vector<uint8_t> &memory() const { return m_memory; }
    bool isWriteEnabled() const { return m_writeEnabled; }
    bool isBusy() const;
    // Power lost: write disabled (EWDS), a cycle in progress lost.
    void powerCycle();
    // ERAL and WRAL run their cycle but change nothing, as below 4.5 V where their timing
    // is not specified.
    void setEraseAllUnreliable(bool unreliable) { m_eraseAllUnreliable = unreliable; }
    // What reached the part: start bits seen (instructions begun), programming cycles run.
    uint64_t instructions() const { return m_instructions; }
    uint64_t cycles() const { return m_cycles; }

private:
    enum class State {
        WaitingStart, // CS high, no start bit yet: DO shows ready/busy after programming
        Command,      // opcode and address bits
        Data,         // the word of WRITE or WRAL
        Reading,      // DO streams words
        Complete,     // every bit came; CS falling carries it out
        Spoiled,      // a bit too many, or an instruction while busy: ignored until CS falls
    };
    enum class Pending { None, Enable, Disable, Write, Erase, EraseAll, WriteAll };

    void risingClock(bool dataIn);
    void decode();
    void chipSelectFell();
    void startCycle(uint64_t ns);
    uint32_t words() const { return m_model.sizeBytes * 8 / m_model.microwireWordBits; }
    uint32_t wordAt(uint32_t address) const;
    void setWord(uint32_t address, uint32_t value);

    ChipModel m_model;
    VirtualClock &m_clock;
    std::vector<uint8_t> m_memory;
    bool m_chipSelect = false;
    bool m_clockHigh = false;
    State m_state = State::WaitingStart;
    Pending m_pending = Pending::None;
    uint32_t m_bits = 0;
    uint32_t m_bitCount = 0;
    uint32_t m_address = 0;
    uint32_t m_data = 0;
    // Reading: the word on DO and the bit of it that is out (0: the dummy 0).
    uint32_t m_readWord = 0;
    uint32_t m_readBit = 0;
    bool m_dataOut = true;
    bool m_showStatus = false;
    bool m_writeEnabled = false;
    bool m_eraseAllUnreliable = false;
    uint64_t m_busyUntilNs = 0;
    uint64_t m_instructions = 0;
    uint64_t m_cycles = 0;
};

} // namespace emu
