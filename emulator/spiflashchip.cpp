#include "spiflashchip.h"


#include "virtualclock.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

namespace emu {

namespace {

// Opcodes, by datasheet mnemonic.
constexpr uint8_t kWriteStatus = 0x01;       // WRSR
constexpr uint8_t kPageProgram = 0x02;       // PP
constexpr uint8_t kRead = 0x03;              // READ
constexpr uint8_t kWriteDisable = 0x04;      // WRDI
constexpr uint8_t kReadStatus1 = 0x05;       // RDSR1
constexpr uint8_t kWriteEnable = 0x06;       // WREN
constexpr uint8_t kReadStatus3 = 0x15;       // RDSR3 (RDCR on Macronix)
constexpr uint8_t kClearStatus = 0x30;       // CLSR (Spansion error flags)
constexpr uint8_t kEnableWriteStatus = 0x50; // EWSR (SST); CLFSR on Micron parts
constexpr uint8_t kSectorErase = 0x20;       // SE, 4 KiB
constexpr uint8_t kReadStatus2 = 0x35;       // RDSR2
constexpr uint8_t kReadUniqueId = 0x4B;      // RUID
constexpr uint8_t kChipEraseAlt = 0x60;      // CE
constexpr uint8_t kReadMfrDeviceId = 0x90;   // REMS
constexpr uint8_t kReadJedecId = 0x9F;       // RDID
constexpr uint8_t kReleasePowerDown = 0xAB;  // RES
constexpr uint8_t kEnter4ByteMode = 0xB7;    // EN4B
constexpr uint8_t kDeepPowerDown = 0xB9;     // DP
constexpr uint8_t kChipErase = 0xC7;         // CE
constexpr uint8_t kAtmelChipErase = 0x62;    // Atmel AT25F: CE
constexpr uint8_t kBlockErase = 0xD8;        // BE, 64 KiB
// The same commands with a 4-byte address whatever the address mode, on
// parts above 16 MiB: READ4B, PP4B, SE4B, BE4B.
constexpr uint8_t kRead4Byte = 0x13;
constexpr uint8_t kPageProgram4Byte = 0x12;
constexpr uint8_t kSectorErase4Byte = 0x21;
constexpr uint8_t kBlockErase4Byte = 0xDC;
constexpr uint8_t kExit4ByteMode = 0xE9;        // EX4B
constexpr uint8_t kWriteStatus2 = 0x31;         // WRSR2
constexpr uint8_t kReadBlockProtection = 0x72;  // RBPR (SST26)
constexpr uint8_t kWriteBlockProtection = 0x42; // WBPR (SST26)
constexpr uint8_t kGlobalBlockUnlock = 0x98;    // ULBPR (SST26)
constexpr uint8_t kReadSfdp = 0x5A;             // RSFDP
constexpr uint8_t kDieErase = 0xC4;             // DE (Micron stacked dies)
constexpr uint8_t kSoftwareDieSelect = 0xC2;    // Winbond W25M
constexpr uint8_t kReadSecurity = 0x2B;         // RDSCUR (Macronix)
constexpr uint8_t kReadFlagStatus = 0x70;       // RFSR (Micron)
// Flag Status Register bits.
constexpr uint8_t kFlagReady = 0x80;
constexpr uint8_t kFlagEraseError = 0x20;
constexpr uint8_t kFlagProgramError = 0x10;
constexpr uint8_t kFlagProtectionError = 0x02;
constexpr uint8_t kFlagFourByte = 0x01;
// Status Register-3 bit WPS and Security Register bit WPSEL: the individual block locks rule.
constexpr uint8_t kStatus3Wps = 0x04;
constexpr uint8_t kSecurityWpsel = 0x80;
constexpr uint8_t kContinuationCode = 0x7F; // JEDEC: the manufacturer is in a later bank
constexpr std::size_t kSfdpAddressAndDummyBytes = 4;
// SST26 configuration register bit BPNV: no block locked for good.
constexpr uint8_t kConfigBlocksVolatile = 0x08;
// Spansion Status Register-1 error flags.

// MISO is not driven: the board's pull-up reads as ones.
constexpr uint8_t kFloating = 0xFF;
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kSectorSize = 4 * 1024;
constexpr std::size_t kRemsAddressBytes = 3;
constexpr std::size_t kRuidDummyBytes = 4;
constexpr std::size_t kUniqueIdBytes = 8;
constexpr uint8_t kAaiWord = 0xAD;
// Sector-protected parts: SWP (bits 3-2) summarises the sectors, WPP (bit 4)
// shows the WP# pin; a status write with bits 5-2 all clear or all set
// unprotects or protects every sector.
constexpr uint8_t kSwpSome = 0x04;
constexpr uint8_t kSwpAll = 0x0C;
constexpr uint8_t kWpp = 0x10;
constexpr uint8_t kGlobalProtectBits = 0x3C;

bool isStatusRead(uint8_t opcode)
{
    return opcode == kReadStatus1 || opcode == kReadStatus2 || opcode == kReadStatus3;
}

constexpr uint32_t kLockSector = 4 * 1024;

bool isDataFlashOpcode(uint8_t opcode)
{
    return opcode == kReadJedecId || opcode == kDeepPowerDown || opcode == kReleasePowerDown;
}

} // namespace

SpiFlashChip::SpiFlashChip(ChipModel model, VirtualClock &clock)
    : m_model(std::move(model))
    , m_clock(clock)
    , m_memory(m_model.sizeBytes, kErased)
    , m_status1(m_model.powerUpStatus1 | m_model.initialStatus1)
    , m_status2(m_model.initialStatus2)
    , m_sectorProtected(
          m_model.sectorProtection ? m_model.sizeBytes / m_model.protectionSectorSize : 0, true)
    , m_pageBuffer(std::max<uint32_t>(m_model.pageSize, 1), kErased)
    , m_dies(std::max<uint8_t>(m_model.stackedDies, 1), DieState{m_status1, m_status2})
{
    if (m_model.blockProtectionRegister) {
        m_blockRegister.emplace(m_model.sizeBytes);
    }
    if (m_model.blockLockReadOpcode != 0) {
        m_sectorLocks.assign(m_model.sizeBytes / kLockSector, true);
    }
}

bool SpiFlashChip::individualLocksOn() const
{
    return m_model.blockLockReadOpcode != 0 &&
           ((m_model.statusRegister3 && (*m_model.statusRegister3 & kStatus3Wps)) ||
            (m_model.securityRegister && (*m_model.securityRegister & kSecurityWpsel)));
}

void SpiFlashChip::setSelected(bool selected)
{
    if (selected == m_selected) {
        return;
    }
    if (!selected) {
        finishCommand();
        m_selected = false;
        return;
    }
    m_selected = true;
    m_ignoring = false;
    m_byteCount = 0;
    m_address = 0;
    m_commandData.clear();
    if (m_recording) {
        m_frames.emplace_back();
    }
}

uint8_t SpiFlashChip::transfer(uint8_t mosi)
{
    const uint8_t miso = drive(mosi);
    const bool noisy =
        m_noiseOneBitIn != 0 && (m_noiseAboveKHz == 0 || m_spiClockKHz > m_noiseAboveKHz);
    return noisy ? withNoise(miso) : miso;
}

uint8_t SpiFlashChip::withNoise(uint8_t miso)
{
    for (unsigned bit = 0; bit < 8; ++bit) {
        // xorshift32
        m_noiseState ^= m_noiseState << 13;
        m_noiseState ^= m_noiseState >> 17;
        m_noiseState ^= m_noiseState << 5;
        if (m_noiseState % m_noiseOneBitIn == 0) {
            miso ^= static_cast<uint8_t>(1u << bit);
        }
    }
    return miso;
}

uint8_t SpiFlashChip::drive(uint8_t mosi)
{
    if (!m_selected) {
        return kFloating;
    }
    if (m_recording && !m_frames.empty()) {
        m_frames.back().push_back(mosi);
    }
    const std::size_t position = m_byteCount++;
    if (position == 0) {
        m_opcode = mosi;
        m_commandFourByte = m_model.supports4ByteAddressing && takeFourByteOpcode();
        settle();
        // Asleep, the chip listens only for its wake-up; busy, only for the
        // status reads.
        if (m_poweredDown) {
            m_ignoring = mosi != kReleasePowerDown;
        } else if (!m_model.commandSet25Series) {
            m_ignoring = !isDataFlashOpcode(mosi);
        } else {
            // A chip held busy by an error flag still takes Clear Status Register.
            const bool clearsError = m_errorHold && mosi == kClearStatus;
            m_ignoring = (isBusy() && !isStatusRead(mosi) && !clearsError) ||
                         (m_aaiMode && !acceptedInAaiMode(mosi));
        }
        if (m_opcode == kPageProgram) {
            std::fill(m_pageBuffer.begin(), m_pageBuffer.end(), kErased);
        }
        if (m_opcode == kReadJedecId && !m_ignoring && m_jedecReadsBeforeShift &&
            (*m_jedecReadsBeforeShift)-- == 0) {
            m_model.jedecId = m_shiftedJedecId;
            m_jedecReadsBeforeShift.reset();
        }
        return kFloating;
    }
    if (m_ignoring) {
        return kFloating;
    }
    return respond(position - 1, mosi);
}

// Reads a 4-byte-address opcode as its 3-byte twin with a 4-byte address.
bool SpiFlashChip::takeFourByteOpcode()
{
    static constexpr uint8_t kTwins[][2] = {{kRead4Byte, kRead},
                                            {kPageProgram4Byte, kPageProgram},
                                            {kSectorErase4Byte, kSectorErase},
                                            {kBlockErase4Byte, kBlockErase}};
    for (const auto &twin : kTwins) {
        if (m_opcode == twin[0]) {
            m_opcode = twin[1];
            return true;
        }
    }
    return false;
}

// index counts the bytes after the opcode.
uint8_t SpiFlashChip::respond(std::size_t index, uint8_t mosi)
{
    if (m_model.aaiOpcode != 0 && m_opcode == m_model.aaiOpcode) {
        // Only the first AAI command carries an address.
        if (!m_aaiMode && index < addressLength()) {
            collectAddress(index, mosi);
        } else {
            m_commandData.push_back(mosi);
        }
        return kFloating;
    }
    if (m_model.blockLockReadOpcode != 0 && m_opcode == m_model.blockLockReadOpcode) {
        if (index < addressLength()) {
            collectAddress(index, mosi);
            return kFloating;
        }
        return m_sectorLocks[(m_address % m_model.sizeBytes) / kLockSector] ? 0x01 : 0x00;
    }
    switch (m_opcode) {
    case kReadSecurity:
        return m_model.securityRegister ? *m_model.securityRegister : kFloating;
    case kReadFlagStatus:
        if (!m_model.flagStatusRegister) {
            return kFloating;
        }
        return static_cast<uint8_t>(m_flagErrors | (isBusy() ? 0 : kFlagReady) |
                                    (m_fourByteMode ? kFlagFourByte : 0));
    case kReadJedecId:
    case kReadMfrDeviceId:
    case kReleasePowerDown:
    case kReadUniqueId:
        if (m_opcode == kReadMfrDeviceId && index < kRemsAddressBytes) {
            m_address = (m_address << 8) | mosi;
        }
        return respondIdentification(index);
    case kReadStatus1:
        return status();
    case kReadStatus2:
        if (m_blockRegister) {
            return m_blockRegister->anyLockedDown() ? 0 : kConfigBlocksVolatile;
        }
        return m_model.hasStatus2 ? m_status2 : kFloating;
    case kReadBlockProtection:
        return respondBlockProtection(index);
    case kReadSfdp:
        if (index < kSfdpAddressAndDummyBytes) {
            m_address = index < 3 ? (m_address << 8) | mosi : m_address;
            return kFloating;
        }
        return m_address + (index - kSfdpAddressAndDummyBytes) < m_model.sfdp.size()
                   ? m_model.sfdp[m_address + (index - kSfdpAddressAndDummyBytes)]
                   : kFloating;
    case kReadStatus3:
        if (m_model.atmelProductId) {
            return index < 2 ? (*m_model.atmelProductId)[index] : kFloating;
        }
        if (!m_model.statusRegister3) {
            return kFloating;
        }
        if (m_model.supports4ByteAddressing) {
            return *m_model.statusRegister3 | (m_fourByteMode ? kStatus3Ads : 0);
        }
        return *m_model.statusRegister3;
    case kRead:
        return respondRead(index, mosi);
    case kPageProgram:
        collectProgramData(index, mosi);
        return kFloating;
    case kSectorErase:
    case kBlockErase:
    case kDieErase:
        collectAddress(index, mosi);
        return kFloating;
    case kWriteStatus:
    case kWriteStatus2:
    case kWriteBlockProtection:
    case kSoftwareDieSelect:
        m_commandData.push_back(mosi);
        return kFloating;
    default:
        return kFloating;
    }
}

uint8_t SpiFlashChip::respondIdentification(std::size_t index) const
{
    switch (m_opcode) {
    case kReadJedecId:
        if (index < m_model.jedecContinuationCodes) {
            return kContinuationCode;
        }
        index -= m_model.jedecContinuationCodes;
        return index < m_model.jedecId.size() ? m_model.jedecId[index] : kFloating;
    case kReadMfrDeviceId: {
        if (index < kRemsAddressBytes || !m_model.manufacturerDeviceId) {
            return kFloating;
        }
        // Address bit 0 set: the device id comes first.
        const std::size_t pick = (index - kRemsAddressBytes + (m_address & 1)) % 2;
        return (*m_model.manufacturerDeviceId)[pick];
    }
    case kReleasePowerDown: {
        const auto &answer = m_model.electronicSignature;
        if (index < kRemsAddressBytes || answer.empty()) {
            return kFloating;
        }
        return answer[(index - kRemsAddressBytes) % answer.size()];
    }
    case kReadUniqueId: {
        if (index < kRuidDummyBytes || index >= kRuidDummyBytes + kUniqueIdBytes ||
            !m_model.uniqueId) {
            return kFloating;
        }
        const std::size_t shift = 8 * (kUniqueIdBytes - 1 - (index - kRuidDummyBytes));
        return static_cast<uint8_t>(*m_model.uniqueId >> shift);
    }
    default:
        return kFloating;
    }
}

uint8_t SpiFlashChip::respondRead(std::size_t index, uint8_t mosi)
{
    if (index < addressLength()) {
        collectAddress(index, mosi);
        return kFloating;
    }
    // Continuous read wraps from the last byte to address 0 (of the die).
    const uint64_t offset = index - addressLength();
    return m_memory[dieBase() + (uint64_t{m_address} + offset) % dieBytes()];
}

void SpiFlashChip::collectAddress(std::size_t index, uint8_t mosi)
{
    if (index < addressLength()) {
        m_address = (m_address << 8) | mosi;
    }
}

void SpiFlashChip::collectProgramData(std::size_t index, uint8_t mosi)
{
    if (index < addressLength()) {
        collectAddress(index, mosi);
        return;
    }
    // SST Byte-Program writes the first data byte and ignores the rest.
    if (m_model.sstProgramming && index > addressLength()) {
        return;
    }
    // Data beyond the page end wraps to the page start and replaces what came
    // before, so only the last page-size bytes count.
    const std::size_t page = m_pageBuffer.size();
    const std::size_t offset = (m_address % page + (index - addressLength())) % page;
    m_pageBuffer[offset] = mosi;
}

void SpiFlashChip::finishCommand()
{
    if (m_byteCount == 0 || m_ignoring) {
        return;
    }
    settle();
    switch (m_opcode) {
    case kReleasePowerDown:
        m_poweredDown = false;
        return;
    case kDeepPowerDown:
        if (m_byteCount == 1) {
            m_poweredDown = true;
        }
        return;
    default:
        finishWriteCommand();
    }
}

// Write-type commands run only when chip select rises right after the last
// byte they need; a longer or shorter window does nothing.
void SpiFlashChip::finishWriteCommand()
{
    const std::size_t addressed = 1 + addressLength();
    // An SST status write must follow EWSR or WREN directly.
    const bool statusWriteArmed = m_statusWriteArmed;
    m_statusWriteArmed = false;
    if (m_model.aaiOpcode != 0 && m_opcode == m_model.aaiOpcode) {
        finishAai();
        return;
    }
    switch (m_opcode) {
    case kWriteEnable:
        if (m_byteCount == 1) {
            m_wel = true;
            m_statusWriteArmed = m_model.sstProgramming;
        }
        return;
    case kEnableWriteStatus:
        m_statusWriteArmed = m_model.sstProgramming && m_byteCount == 1;
        if (m_model.flagStatusRegister && m_byteCount == 1) {
            m_flagErrors = 0;
        }
        return;
    case kWriteDisable:
        if (m_byteCount == 1) {
            m_wel = false;
            m_clearWelWhenReady = false;
            m_aaiMode = false;
        }
        return;
    case kClearStatus:
        if (m_byteCount == 1) {
            m_status1 &= static_cast<uint8_t>(~m_model.errorFlagBits);
            m_errorHold = false;
        }
        return;
    case kEnter4ByteMode:
    case kExit4ByteMode:
        if (m_byteCount != 1 || !m_model.supports4ByteAddressing || !m_model.enterExit4ByteMode) {
            return;
        }
        if (m_model.fourByteModeNeedsWriteEnable) {
            if (!m_wel) {
                return;
            }
            m_wel = false;
        }
        m_fourByteMode = m_opcode == kEnter4ByteMode;
        return;
    case kSoftwareDieSelect:
        if (m_byteCount == 2) {
            selectDie(m_commandData[0]);
        }
        return;
    default:
        break;
    }
    if (m_opcode == kWriteStatus && m_model.sstProgramming) {
        if (statusWriteArmed && m_commandData.size() == 1) {
            writeStatus();
        }
        return;
    }
    if (!m_wel) {
        return;
    }
    switch (m_opcode) {
    case kWriteStatus:
        if (m_model.sectorProtection && !m_commandData.empty()) {
            writeSectorProtectionStatus();
        } else if (m_commandData.size() == 1 || (m_commandData.size() == 2 && m_model.hasStatus2 &&
                                                 m_model.twoByteStatusWrite)) {
            if (m_commandData.size() == 1 && !isStatusWriteLocked()) {
                m_status2 &= static_cast<uint8_t>(~m_model.oneByteWriteClears2);
            }
            writeStatus();
        }
        return;
    case kWriteStatus2:
        if (m_model.acceptsWriteStatus2 && m_commandData.size() == 1) {
            m_commandData.insert(m_commandData.begin(), m_status1);
            writeStatus();
        }
        return;
    case kGlobalBlockUnlock:
        if (m_blockRegister && m_byteCount == 1) {
            m_blockRegister->unlockAll();
            m_wel = false;
        } else if (m_model.blockLockReadOpcode != 0 && m_byteCount == 1) {
            std::fill(m_sectorLocks.begin(), m_sectorLocks.end(), false);
            m_wel = false;
        }
        return;
    case kWriteBlockProtection:
        // Only the whole register, every byte of it, is taken.
        if (m_blockRegister && m_commandData.size() == m_blockRegister->byteCount()) {
            m_blockRegister->write(m_commandData);
            m_wel = false;
        }
        return;
    case kPageProgram:
        if (m_byteCount > addressed) {
            pageProgram();
        }
        return;
    case kSectorErase:
        if (m_byteCount == addressed && m_model.sectorEraseCommand) {
            const uint32_t address = m_address % dieBytes();
            erase(address - address % kSectorSize, kSectorSize, m_model.sectorEraseNs);
        }
        return;
    case kBlockErase:
        if (m_byteCount == addressed) {
            const uint32_t address = m_address % dieBytes();
            const uint32_t block = m_model.blockEraseSize;
            erase(address - address % block, block, m_model.blockEraseNs);
        }
        return;
    case kDieErase:
        if (m_byteCount == addressed && m_model.dieEraseSize != 0) {
            const uint32_t address = m_address % m_model.sizeBytes;
            erase(address - address % m_model.dieEraseSize, m_model.dieEraseSize,
                  m_model.chipEraseNs);
        }
        return;
    case kChipErase:
    case kChipEraseAlt:
        // Refused as a whole when any block is protected; a stacked die
        // erases only itself.
        if (m_byteCount == 1 && m_model.chipEraseCommand) {
            erase(0, dieBytes(), m_model.chipEraseNs);
        }
        return;
    case kAtmelChipErase:
        if (m_byteCount == 1 && m_model.atmelChipErase) {
            erase(0, dieBytes(), m_model.chipEraseNs);
        }
        return;
    default:
        return;
    }
}

void SpiFlashChip::writeStatus()
{
    if (isStatusWriteLocked()) {
        m_wel = false;
        return;
    }
    const uint8_t writable = m_model.status1Writable;
    m_status1 = (m_status1 & ~writable) | (m_commandData[0] & writable);
    if (m_commandData.size() == 2) {
        const uint8_t writable2 = m_model.status2Writable;
        m_status2 = (m_status2 & ~writable2) | (m_commandData[1] & writable2);
    }
    startBusy(m_model.statusWriteNs);
}

bool SpiFlashChip::isStatusWriteLocked() const
{
    if (m_model.hasStatus2 && (m_status2 & m_model.status2LockBit)) {
        return true;
    }
    return (m_status1 & kStatusRegisterProtect) && !m_writeProtectHigh;
}

// While SPRL is set, a status write can only clear SPRL, and only with WP#
// high; with SPRL clear, bits 5-2 all clear or all set unprotect or protect
// every sector.
void SpiFlashChip::writeSectorProtectionStatus()
{
    const uint8_t value = m_commandData[0];
    if (m_status1 & kStatusRegisterProtect) {
        if (!m_writeProtectHigh) {
            m_wel = false;
            return;
        }
        m_status1 &= static_cast<uint8_t>(~kStatusRegisterProtect | value);
    } else {
        if ((value & kGlobalProtectBits) == 0) {
            std::fill(m_sectorProtected.begin(), m_sectorProtected.end(), false);
        } else if ((value & kGlobalProtectBits) == kGlobalProtectBits) {
            std::fill(m_sectorProtected.begin(), m_sectorProtected.end(), true);
        }
        m_status1 = (m_status1 & ~kStatusRegisterProtect) | (value & kStatusRegisterProtect);
    }
    startBusy(m_model.statusWriteNs);
}

bool SpiFlashChip::acceptedInAaiMode(uint8_t opcode) const
{
    return opcode == m_model.aaiOpcode || opcode == kReadStatus1 || opcode == kWriteDisable;
}

// AAI: the first command (after WREN) carries the address and the first
// byte or word; each later one only the next; WREN stays set until WRDI.
void SpiFlashChip::finishAai()
{
    const std::size_t width = m_model.aaiOpcode == kAaiWord ? 2 : 1;
    if (!m_aaiMode) {
        if (!m_wel || m_byteCount != 1 + addressLength() + width) {
            return;
        }
        m_aaiAddress = m_address % m_model.sizeBytes;
        if (width == 2) {
            m_aaiAddress &= ~1u;
        }
        m_aaiMode = true;
    } else if (m_byteCount != 1 + width) {
        return;
    }
    if (uint64_t{m_aaiAddress} + width <= m_memory.size() &&
        !isRangeProtected(m_aaiAddress, static_cast<uint32_t>(width))) {
        for (std::size_t i = 0; i < width; ++i) {
            m_memory[m_aaiAddress + i] &= m_commandData[i];
        }
    }
    m_aaiAddress += static_cast<uint32_t>(width);
    m_busyUntilNs = m_clock.nowNs() + m_model.pageProgramNs;
}

void SpiFlashChip::pageProgram()
{
    const uint32_t page = static_cast<uint32_t>(m_pageBuffer.size());
    const uint32_t address = m_address % dieBytes();
    const uint32_t pageBase = address - address % page;
    const auto refused = m_refusedPrograms.lower_bound(dieBase() + pageBase);
    if (isRangeProtected(pageBase, page) ||
        (refused != m_refusedPrograms.end() && *refused < dieBase() + pageBase + page)) {
        m_wel = false;
        refuseFlagged(kFlagProgramError);
        return;
    }
    if (failOperation(kFailProgram)) {
        return;
    }
    // Bits only fall from 1 to 0.
    for (uint32_t offset = 0; offset < page && pageBase + offset < dieBytes(); ++offset) {
        m_memory[dieBase() + pageBase + offset] &= m_pageBuffer[offset];
    }
    const auto slow = m_slowPages.find(dieBase() + pageBase);
    startBusy(slow != m_slowPages.end() ? slow->second : m_model.pageProgramNs);
}

void SpiFlashChip::erase(uint32_t base, uint32_t length, uint64_t durationNs)
{
    length = std::min<uint32_t>(length, dieBytes() - base);
    if (isRangeProtected(base, length)) {
        m_wel = false;
        refuseFlagged(kFlagEraseError);
        return;
    }
    if (failOperation(kFailErase)) {
        return;
    }
    base += dieBase();
    std::vector<std::pair<uint32_t, uint8_t>> kept;
    for (auto cell = m_unerasable.lower_bound(base);
         cell != m_unerasable.end() && *cell < base + length; ++cell) {
        kept.emplace_back(*cell, m_memory[*cell]);
    }
    std::fill_n(m_memory.begin() + base, length, kErased);
    for (const auto &[address, value] : kept) {
        m_memory[address] = value;
    }
    startBusy(durationNs);
}

void SpiFlashChip::refuseFlagged(uint8_t error)
{
    if (m_model.flagStatusRegister) {
        m_flagErrors |= static_cast<uint8_t>(error | kFlagProtectionError);
    }
}

void SpiFlashChip::startBusy(uint64_t durationNs)
{
    m_busyUntilNs = m_clock.nowNs() + durationNs;
    // WEL stays set while the operation runs and clears when it ends.
    m_clearWelWhenReady = true;
}

bool SpiFlashChip::isBusy() const
{
    return m_stuckBusy || m_errorHold || m_clock.nowNs() < m_busyUntilNs;
}

void SpiFlashChip::settle()
{
    if (m_clearWelWhenReady && !isBusy()) {
        m_wel = false;
        m_clearWelWhenReady = false;
    }
}

uint8_t SpiFlashChip::status()
{
    settle();
    uint8_t value = m_status1 | (m_wel ? kStatusWel : 0) | (isBusy() ? kStatusBusy : 0);
    if (m_aaiMode) {
        value |= kStatusAai;
    }
    if (m_model.sectorProtection) {
        const auto locked = std::count(m_sectorProtected.begin(), m_sectorProtected.end(), true);
        const bool all = locked == static_cast<std::ptrdiff_t>(m_sectorProtected.size());
        value |= locked == 0 ? 0 : all ? kSwpAll : kSwpSome;
        value |= m_writeProtectHigh ? kWpp : 0;
    }
    return value;
}

// BP2..BP0 = n protects 1/2^(7-n) of the array at its top (or bottom with
// TB); n = 7 protects everything. CMP in Status Register-2 protects the rest
// of the array instead.
bool SpiFlashChip::isRangeProtected(uint32_t start, uint32_t length) const
{
    if (m_blockRegister) {
        return m_blockRegister->isWriteLocked(start, length);
    }
    if (individualLocksOn()) {
        for (uint64_t at = start - start % kLockSector; at < uint64_t{start} + length;
             at += kLockSector) {
            if (m_sectorLocks[(dieBase() + at) / kLockSector]) {
                return true;
            }
        }
        return false;
    }
    if (!m_model.sectorProtection) {
        return isBlockRangeProtected(start, length);
    }
    const uint32_t sector = m_model.protectionSectorSize;
    for (uint64_t at = start - start % sector; at < uint64_t{start} + length; at += sector) {
        if (at / sector < m_sectorProtected.size() && m_sectorProtected[at / sector]) {
            return true;
        }
    }
    return false;
}

// Three BP bits follow the Winbond table; wider fields protect from 1/32 of
// the array at BP=1 up to all of it from BP=6 on (SST, Macronix, GigaDevice
// and Micron tables differ in detail, never in protecting nothing).
bool SpiFlashChip::isBlockRangeProtected(uint32_t start, uint32_t length) const
{
    unsigned bp = 0;
    unsigned levels = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (m_model.blockProtectBits & (1u << bit)) {
            bp |= ((m_status1 >> bit) & 1u) << levels++;
        }
    }
    const uint32_t size = dieBytes();
    uint32_t covered = 0;
    if (levels == 3) {
        covered = bp == 0 ? 0 : bp == 7 ? size : size >> (7 - bp);
    } else if (bp != 0) {
        covered = bp >= 6 ? size : size >> (6 - bp);
    }
    const bool bottom = m_status1 & m_model.topBottomBit;
    uint32_t low = bottom ? 0 : size - covered;
    uint32_t high = bottom ? covered : size;
    if (m_model.hasStatus2 && (m_status2 & m_model.status2ComplementBit)) {
        low = bottom ? covered : 0;
        high = bottom ? size : size - covered;
    }
    return length > 0 && low < high && start < high && uint64_t{start} + length > low;
}

void SpiFlashChip::setStatusRegisters(uint8_t status1, uint8_t status2)
{
    m_status1 = status1 & static_cast<uint8_t>(~(kStatusBusy | kStatusWel));
    m_status2 = status2;
}

void SpiFlashChip::setBlockProtection(uint8_t bits, bool bottom)
{
    m_status1 = (m_status1 & ~(kStatusBlockProtect | kStatusTopBottom)) |
                ((bits << 2) & kStatusBlockProtect) | (bottom ? kStatusTopBottom : 0);
}

void SpiFlashChip::selectDie(uint8_t die)
{
    if (die >= m_dies.size() || die == m_activeDie) {
        return;
    }
    m_dies[m_activeDie] = {m_status1,           m_status2,     m_wel,
                           m_clearWelWhenReady, m_busyUntilNs, m_fourByteMode};
    const DieState &next = m_dies[die];
    m_status1 = next.status1;
    m_status2 = next.status2;
    m_wel = next.wel;
    m_clearWelWhenReady = next.clearWelWhenReady;
    m_busyUntilNs = next.busyUntilNs;
    m_fourByteMode = next.fourByteMode;
    m_activeDie = die;
}

void SpiFlashChip::powerCycle()
{
    // Every stacked die loses its volatile state; the first is selected again.
    for (std::size_t die = m_dies.size(); die-- > 1;) {
        selectDie(static_cast<uint8_t>(die));
        powerCycleDie();
    }
    selectDie(0);
    powerCycleDie();
    m_selected = false;
    m_ignoring = false;
    m_byteCount = 0;
    m_stuckBusy = false;
    m_errorHold = false;
    m_poweredDown = false;
    m_aaiMode = false;
    m_statusWriteArmed = false;
    std::fill(m_sectorProtected.begin(), m_sectorProtected.end(), true);
    std::fill(m_sectorLocks.begin(), m_sectorLocks.end(), true);
    if (m_blockRegister) {
        m_blockRegister->lockAll();
    }
}

void SpiFlashChip::powerCycleDie()
{
    m_wel = false;
    m_clearWelWhenReady = false;
    m_busyUntilNs = m_clock.nowNs();
    m_fourByteMode = false;
    m_status1 |= m_model.powerUpStatus1;
    // SRP1 without SRP0 locks the status register only until power-off.
    if (!(m_status1 & kStatusRegisterProtect)) {
        m_status2 &= static_cast<uint8_t>(~m_model.status2LockBit);
    }
}

uint8_t SpiFlashChip::respondBlockProtection(std::size_t index) const
{
    if (!m_blockRegister || index >= m_blockRegister->byteCount()) {
        return kFloating;
    }
    return m_blockRegister->byteAt(index);
}

bool SpiFlashChip::failOperation(uint8_t flag)
{
    if ((m_failNext & flag) == 0 || m_model.errorFlagBits == 0) {
        return false;
    }
    m_failNext = 0;
    m_status1 |= flag & m_model.errorFlagBits;
    m_errorHold = true;
    m_wel = false;
    return true;
}

} // namespace emu
