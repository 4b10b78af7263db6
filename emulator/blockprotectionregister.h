#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

// SST26's Block-Protection Register, laid out as the SST26VF016B/032B/064B datasheets give it:
// bit 0 up, one write-lock bit per 64 KiB block from 0x010000 to the last block below the top
// 64 KiB; then the bottom 32 KiB block (0x008000) and the top one; then, for each of the four
// 8 KiB blocks at the bottom and then the four at the top, a write-lock bit and a read-lock bit
// above it. Its size is the 64 KiB block count plus 16 bits: 144 bits (18 bytes) on 8 MiB.
// Part of the chip's state; runs on the chip's thread.
class BlockProtectionRegister
{
public:
    explicit BlockProtectionRegister(uint32_t chipSize);

    std::size_t byteCount() const { return m_bits.size() / 8; }
    // Read Block-Protection Register (72h) sends the most significant byte first.
    uint8_t byteAt(std::size_t index) const;
    // Write Block-Protection Register (42h): every byte, most significant first.
    void write(const std::vector<uint8_t> &bytes);
    // Power-up: every write-lock bit set, every read-lock bit clear.
    void lockAll();
    // Global Block-Protection Unlock (98h): the write-lock bits clear but those locked down.
    void unlockAll();
    // The write-lock bits now set stay set for good, whatever 42h or 98h says.
    void lockDown();
    bool anyLockedDown() const;
    // Some byte of the range lies in a write-locked block.
    bool isWriteLocked(uint32_t start, uint32_t length) const;

private:
    struct Block
    {
        uint32_t start;
        uint32_t size;
        std::size_t writeLockBit;
    };

    std::vector<Block> m_blocks;
    std::vector<bool> m_bits;
    std::vector<bool> m_readLockBits;
    std::vector<bool> m_lockedDown;
};

} // namespace emu
