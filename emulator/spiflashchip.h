#pragma once

#include "blockprotectionregister.h"
#include "chipmodel.h"
#include "spidevice.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace emu {

class VirtualClock;

// A 25-series SPI NOR flash chip as its datasheet describes it, seen one byte
// at a time (most significant bit first) inside chip-select windows. Runs on
// the thread of whoever drives the emulated programmer.
class SpiFlashChip : public SpiDevice
{
public:
    // Status Register-1 bits.
    static constexpr uint8_t kStatusBusy = 0x01;
    static constexpr uint8_t kStatusWel = 0x02;
    static constexpr uint8_t kStatusBlockProtect = 0x1C; // BP2..BP0
    static constexpr uint8_t kStatusTopBottom = 0x20;    // TB: protect from address 0 up
    // SRP0 / SRWD / BPL, or SPRL on sector-protected parts: with WP# low the
    // status register is read-only.
    static constexpr uint8_t kStatusRegisterProtect = 0x80;
    static constexpr uint8_t kStatusAai = 0x40; // SST: AAI programming in progress
    // Status Register-3 bit ADS: the current address mode is 4 bytes.
    static constexpr uint8_t kStatus3Ads = 0x01;

    SpiFlashChip(ChipModel model, VirtualClock &clock);

    const ChipModel &model() const { return m_model; }

    // Chip select low = true. A rising edge ends the command in progress.
    void setSelected(bool selected) override;
    bool isSelected() const override { return m_selected; }
    // One byte on MOSI; returns the byte the chip drives on MISO (0xFF while
    // it does not drive the line).
    uint8_t transfer(uint8_t mosi) override;

    std::vector<uint8_t> &memory() override { return m_memory; }
    const std::vector<uint8_t> &memory() const override { return m_memory; }
    uint8_t status();
    uint8_t status2() const { return m_status2; }
    bool isBusy() const;
    bool isPoweredDown() const { return m_poweredDown; }
    bool isFourByteMode() const { return m_fourByteMode; }
    // Stacked dies: the one Software Die Select chose.
    uint8_t activeDie() const { return m_activeDie; }
    bool isAaiMode() const { return m_aaiMode; }

    // Faults and direct settings for tests.
    // Sets BUSY at once; it never clears while the fault is on.
    void setStuckBusy(bool stuck) { m_stuckBusy = stuck; }
    // Page programs take this long from now on, as on a worn or hot part.
    void setPageProgramNs(uint64_t ns) { m_model.pageProgramNs = ns; }
    // BP2..BP0 (0 to 7) and TB, as if written by Write Status Register.
    void setBlockProtection(uint8_t bits, bool bottom = false);
    // The non-volatile status bits, as the chip would keep them.
    void setStatusRegisters(uint8_t status1, uint8_t status2 = 0);
    // A worn cell that no erase reaches: it keeps its value.
    void addUnerasableByte(uint32_t address) { m_unerasable.insert(address); }
    // The page holding this address is silently refused every program, as
    // a protected block's would be.
    void addRefusedProgram(uint32_t address) { m_refusedPrograms.insert(address); }
    // A worn page: programming it takes this long, the datasheet's longest say.
    void addSlowPage(uint32_t address, uint64_t ns)
    {
        m_slowPages[address - address % m_model.pageSize] = ns;
    }
    // The board's WP# line; CH341A boards pull it high.
    void setWriteProtectPin(bool high) { m_writeProtectHigh = high; }
    // The board's MISO line picks up noise (a loose clip, long wires): each bit on it reads
    // flipped with a chance of 1 in oneBitIn, from a fixed pseudo-random sequence that starts
    // again with each setting; 0: a clean line.
    // aboveKHz: the noise strikes only while the bridge clocks faster than this (wiring that
    // carries 15 MHz but not 30); 0: at any clock.
    void setNoisyMiso(uint32_t oneBitIn, uint32_t aboveKHz = 0)
    {
        m_noiseOneBitIn = oneBitIn;
        m_noiseAboveKHz = aboveKHz;
        m_noiseState = kNoiseSeed;
    }
    // A clip that shifts on the pins: after this many more Read JEDEC ID (9Fh) commands, the
    // chip answers them with this identifier.
    void answerJedecIdAfterReads(uint32_t reads, std::array<uint8_t, 3> id)
    {
        m_jedecReadsBeforeShift = reads;
        m_shiftedJedecId = id;
    }
    // The SPI clock the bridge drives, as far as the noise cares; 0: slow (a CH341A).
    void setSpiClockKHz(uint32_t kHz) override { m_spiClockKHz = kHz; }
    // The chip loses power: volatile state clears, memory and the
    // non-volatile status bits stay; a stuck BUSY also clears.
    void powerCycle() override;

    // Spansion: the next program or erase fails, setting P_ERR or E_ERR, and
    // WIP stays set until Clear Status Register (30h).
    void failNextProgram() { m_failNext = kFailProgram; }
    void failNextErase() { m_failNext = kFailErase; }
    // SST26: the blocks locked now stay locked for good; Global Block Unlock leaves them.
    void lockBlocksForGood() { m_blockRegister->lockDown(); }

    // Every chip-select window: the bytes the chip received on MOSI.
    const std::vector<std::vector<uint8_t>> &frames() const { return m_frames; }
    void setRecording(bool on) { m_recording = on; }
    void clearFrames() { m_frames.clear(); }

private:
    uint8_t drive(uint8_t mosi);
    uint8_t withNoise(uint8_t miso);
    void settle();
    std::size_t addressLength() const { return m_fourByteMode || m_commandFourByte ? 4 : 3; }
    bool takeFourByteOpcode();
    uint8_t respond(std::size_t index, uint8_t mosi);
    uint8_t respondIdentification(std::size_t index) const;
    uint8_t respondRead(std::size_t index, uint8_t mosi);
    void collectAddress(std::size_t index, uint8_t mosi);
    void collectProgramData(std::size_t index, uint8_t mosi);
    void finishCommand();
    void finishWriteCommand();
    void startBusy(uint64_t durationNs);
    void writeStatus();
    void writeSectorProtectionStatus();
    void finishAai();
    void pageProgram();
    void erase(uint32_t base, uint32_t length, uint64_t durationNs);
    bool isRangeProtected(uint32_t start, uint32_t length) const;
    bool isBlockRangeProtected(uint32_t start, uint32_t length) const;
    bool isStatusWriteLocked() const;
    bool individualLocksOn() const;
    void refuseFlagged(uint8_t error);
    bool acceptedInAaiMode(uint8_t opcode) const;
    uint8_t respondBlockProtection(std::size_t index) const;
    bool failOperation(uint8_t flag);
    // Stacked dies: the selected die's span of the memory.
    uint32_t dieBytes() const { return m_model.sizeBytes / static_cast<uint32_t>(m_dies.size()); }
    uint32_t dieBase() const { return m_activeDie * dieBytes(); }
    void selectDie(uint8_t die);
    void powerCycleDie();

    ChipModel m_model;
    VirtualClock &m_clock;
    std::vector<uint8_t> m_memory;

    uint8_t m_status1 = 0; // non-volatile bits only; BUSY and WEL live apart
    uint8_t m_status2 = 0;
    bool m_wel = false;
    bool m_clearWelWhenReady = false;
    uint64_t m_busyUntilNs = 0;
    bool m_stuckBusy = false;
    bool m_poweredDown = false;
    bool m_fourByteMode = false;
    bool m_commandFourByte = false; // the command in progress carries a 4-byte address
    bool m_writeProtectHigh = true;
    // SST: the command before this one enabled a status write (EWSR or WREN).
    bool m_statusWriteArmed = false;
    bool m_aaiMode = false;
    uint32_t m_aaiAddress = 0;
    std::set<uint32_t> m_unerasable;
    std::set<uint32_t> m_refusedPrograms;
    std::map<uint32_t, uint64_t> m_slowPages; // page address: its program time
    // Sector-protected parts: one flag per protection sector.
    std::vector<bool> m_sectorProtected;
    std::optional<BlockProtectionRegister> m_blockRegister;
    // Individual block locks, one flag per 4 KiB sector (a block's flags move together).
    std::vector<bool> m_sectorLocks;
    static constexpr uint8_t kFailProgram = 0x40; // P_ERR
    static constexpr uint8_t kFailErase = 0x20;   // E_ERR
    uint8_t m_failNext = 0;
    bool m_errorHold = false; // an error flag keeps WIP set
    uint8_t m_flagErrors = 0; // Micron Flag Status Register errors

    // The command of the current chip-select window.
    bool m_selected = false;
    bool m_ignoring = false;
    uint8_t m_opcode = 0;
    std::size_t m_byteCount = 0;
    uint32_t m_address = 0;
    std::vector<uint8_t> m_commandData; // status bytes of 01h, register bytes of 42h
    std::vector<uint8_t> m_pageBuffer;

    static constexpr uint32_t kNoiseSeed = 0x2545F491;
    uint32_t m_noiseOneBitIn = 0;
    uint32_t m_noiseAboveKHz = 0;
    uint32_t m_spiClockKHz = 0;
    uint32_t m_noiseState = kNoiseSeed;

    std::optional<uint32_t> m_jedecReadsBeforeShift;
    std::array<uint8_t, 3> m_shiftedJedecId{};

    bool m_recording = true;
    std::vector<std::vector<uint8_t>> m_frames;

    // Stacked dies: what each die keeps while another is selected.
    struct DieState
    {
        uint8_t status1 = 0;
        uint8_t status2 = 0;
        bool wel = false;
        bool clearWelWhenReady = false;
        uint64_t busyUntilNs = 0;
        bool fourByteMode = false;
    };
    std::vector<DieState> m_dies;
    uint8_t m_activeDie = 0;
};

} // namespace emu
