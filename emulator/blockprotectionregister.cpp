#include "blockprotectionregister.h"

#include <algorithm>

namespace emu {

namespace {
constexpr uint32_t kBlock = 64 * 1024;
constexpr uint32_t kHalfBlock = 32 * 1024;
constexpr uint32_t kParameterBlock = 8 * 1024;
constexpr std::size_t kParameterBlocksPerEnd = 4;
} // namespace

BlockProtectionRegister::BlockProtectionRegister(uint32_t chipSize)
{
    const std::size_t middleBlocks = chipSize / kBlock - 2;
    for (std::size_t i = 0; i < middleBlocks; ++i) {
        m_blocks.push_back({uint32_t((i + 1) * kBlock), kBlock, i});
    }
    m_blocks.push_back({kHalfBlock, kHalfBlock, middleBlocks});
    m_blocks.push_back({chipSize - kBlock, kHalfBlock, middleBlocks + 1});
    std::size_t bit = middleBlocks + 2;
    for (const uint32_t end : {0u, chipSize - kBlock / 2}) {
        for (std::size_t k = 0; k < kParameterBlocksPerEnd; ++k, bit += 2) {
            m_blocks.push_back({end + uint32_t(k) * kParameterBlock, kParameterBlock, bit});
        }
    }
    m_bits.assign(bit, false);
    m_readLockBits.assign(bit, false);
    m_lockedDown.assign(bit, false);
    // The read-lock bit sits above its block's write-lock bit. What a read of a read-locked
    // block returns is not modelled: the bits clear at power-up and no job sets them.
    for (const Block &block : m_blocks) {
        if (block.size == kParameterBlock) {
            m_readLockBits[block.writeLockBit + 1] = true;
        }
    }
    lockAll();
}

uint8_t BlockProtectionRegister::byteAt(std::size_t index) const
{
    uint8_t value = 0;
    const std::size_t lowest = m_bits.size() - 8 * (index + 1);
    for (std::size_t bit = 0; bit < 8; ++bit) {
        value |= m_bits[lowest + bit] ? uint8_t(1u << bit) : 0;
    }
    return value;
}

void BlockProtectionRegister::write(const std::vector<uint8_t> &bytes)
{
    for (std::size_t index = 0; index < bytes.size() && index < byteCount(); ++index) {
        const std::size_t lowest = m_bits.size() - 8 * (index + 1);
        for (std::size_t bit = 0; bit < 8; ++bit) {
            m_bits[lowest + bit] = ((bytes[index] >> bit) & 1u) || m_lockedDown[lowest + bit];
        }
    }
}

void BlockProtectionRegister::lockAll()
{
    for (std::size_t bit = 0; bit < m_bits.size(); ++bit) {
        m_bits[bit] = !m_readLockBits[bit];
    }
}

void BlockProtectionRegister::unlockAll()
{
    for (std::size_t bit = 0; bit < m_bits.size(); ++bit) {
        if (!m_readLockBits[bit]) {
            m_bits[bit] = m_lockedDown[bit];
        }
    }
}

void BlockProtectionRegister::lockDown()
{
    for (std::size_t bit = 0; bit < m_bits.size(); ++bit) {
        m_lockedDown[bit] = m_lockedDown[bit] || (m_bits[bit] && !m_readLockBits[bit]);
    }
}

bool BlockProtectionRegister::anyLockedDown() const
{
    return std::find(m_lockedDown.begin(), m_lockedDown.end(), true) != m_lockedDown.end();
}

bool BlockProtectionRegister::isWriteLocked(uint32_t start, uint32_t length) const
{
    const uint64_t end = uint64_t{start} + length;
    return std::any_of(m_blocks.begin(), m_blocks.end(), [&](const Block &block) {
        return m_bits[block.writeLockBit] && block.start < end && start < block.start + block.size;
    });
}

} // namespace emu
