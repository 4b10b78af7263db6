#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

// Which lines of the programmer reach the part: the SPI lines of the 25xx socket (a flash,
// or an SPI EEPROM), the I2C lines of the 24xx socket, or the pins through a 93xx adapter.
enum class SocketBus { Spi, I2c, Microwire };

// What one part answers and how long its operations take; plain data. Most fields describe
// an SPI flash; a serial EEPROM on another bus uses the name, size, page and the fields at
// the end, and leaves no SPI flash in the socket.
struct ChipModel
{
    std::string name;
    // Read JEDEC ID (9Fh): manufacturer, memory type, capacity, after this
    // many continuation codes (7Fh) for a manufacturer of a later bank.
    std::array<uint8_t, 3> jedecId{};
    uint8_t jedecContinuationCodes = 0;
    uint32_t sizeBytes = 0;
    uint32_t pageSize = 256;
    // Read Manufacturer / Device ID (90h); none: the part does not answer.
    std::optional<std::array<uint8_t, 2>> manufacturerDeviceId;
    // Release Power-down / Device ID (ABh): the bytes after three dummy bytes,
    // repeated; empty: the part only wakes up and does not answer.
    std::vector<uint8_t> electronicSignature;
    // Read Status Register-3 (15h), or the part's register under that opcode.
    std::optional<uint8_t> statusRegister3;
    // Read Unique ID (4Bh), sent most significant byte first.
    std::optional<uint64_t> uniqueId;
    // Enter / Exit 4-Byte Address Mode (B7h / E9h); only parts over 16 MiB.
    bool supports4ByteAddressing = false;
    // False for parts such as DataFlash that share only the identification,
    // power-down and wake-up opcodes with 25-series flash.
    bool commandSet25Series = true;
    // Status Register-1 after power-up (block protection bits).
    uint8_t powerUpStatus1 = 0x00;
    // The non-volatile status bits as the board left them (QE set for a
    // board that boots in quad mode).
    uint8_t initialStatus1 = 0x00;
    uint8_t initialStatus2 = 0x00;
    // Status Register-1 layout: which bits are block protection (BP) bits, in
    // order of significance from bit 2 up, the top/bottom bit (0: none), and
    // which bits Write Status Register (01h) may change. Bit 7 (SRP0, SRWD or
    // BPL) makes the register read-only while WP# is low.
    uint8_t blockProtectBits = 0x1C;
    uint8_t topBottomBit = 0x20;
    uint8_t status1Writable = 0xFC;
    // Status Register-2 (35h) with CMP (bit 6) and SRP1 (bit 0); without it
    // 35h is not answered. Where the part puts CMP (0: none) and the lock
    // bit, which bits a status write may change, and which a one-byte 01h
    // clears (Spansion S25FL-S: Configuration Register-1 QUAD).
    bool hasStatus2 = true;
    uint8_t status2ComplementBit = 0x40;
    uint8_t status2LockBit = 0x01;
    uint8_t status2Writable = 0x43; // CMP QE SRP1
    uint8_t oneByteWriteClears2 = 0;
    // Sticky program/erase error flags in Status Register-1 (Spansion P_ERR
    // and E_ERR); Clear Status Register (30h) clears them.
    uint8_t errorFlagBits = 0;
    // SST25VF programming: Byte-Program (02h) writes only the first data
    // byte; AAI programming under this opcode (ADh word, AFh byte; 0: none);
    // Enable-Write-Status-Register (50h) or WREN must come right before WRSR.
    bool sstProgramming = false;
    uint8_t aaiOpcode = 0;
    // Micron: Enter/Exit 4-Byte Address Mode need WREN first.
    bool fourByteModeNeedsWriteEnable = false;
    // Atmel AT25DF/AT26DF: per-sector protection (all sectors protected at
    // power-up), SWP summary in bits 3-2, WPP (bit 4) shows WP#, SPRL (bit 7).
    bool sectorProtection = false;
    uint32_t protectionSectorSize = 64 * 1024;
    // Write Status Register-2 (31h) writes Status Register-2 alone.
    bool acceptsWriteStatus2 = false;
    // False: 01h with a second byte is ignored (only 31h writes Status Register-2).
    bool twoByteStatusWrite = true;
    // Atmel AT25F: Read Product ID (15h) answers manufacturer and device.
    std::optional<std::array<uint8_t, 2>> atmelProductId;
    // SST26: Block-Protection Register (blockprotectionregister.h), every block
    // write-locked at power-up; 72h reads it, 42h (after WREN) writes it, 98h
    // (after WREN) unlocks all; 35h reads the configuration register (BPNV,
    // bit 3, set while no block is locked for good).
    bool blockProtectionRegister = false;
    // False for parts above 16 MiB without B7h/E9h (Spansion S25FL-S): only
    // the 4-byte opcodes reach the upper half.
    bool enterExit4ByteMode = true;
    // SFDP (5Ah, three address bytes, one dummy byte): the table from address 0.
    std::vector<uint8_t> sfdp;
    // False for parts without a bulk erase: C7h and 60h do nothing.
    bool chipEraseCommand = true;
    // Atmel AT25F: the chip erase is 62h (and C7h and 60h do nothing).
    bool atmelChipErase = false;
    // False for parts without a 4 KiB erase: 20h does nothing.
    bool sectorEraseCommand = true;
    // Micron stacked dies: Die Erase (C4h, with an address) erases the die of
    // this size that holds the address; 0: no C4h.
    uint32_t dieEraseSize = 0;
    // Winbond W25M: dies behind one chip select, chosen by Software Die
    // Select (C2h, one byte); each has its own status registers, address mode
    // and busy state, and C7h erases only the selected one.
    uint8_t stackedDies = 1;
    // Individual block locks, ruling instead of the BP bits while Status Register-3 bit 2
    // (Winbond WPS) or the Security Register's bit 7 (Macronix WPSEL, 2Bh) is set: a lock per
    // 64 KiB block and per 4 KiB sector of the first and the last block, all set at power-up,
    // read with this opcode and an address (bit 0: locked; Winbond 3Dh, Macronix 3Ch) and all
    // cleared by Global Block Unlock (98h, after WREN); 0: none.
    uint8_t blockLockReadOpcode = 0;
    // Micron: the Flag Status Register (70h): ready (bit 7), erase (5) and program (4) errors,
    // protection error (1), 4-byte addressing (0); a program or erase refused by protection
    // sets its error and the protection error until Clear Flag Status Register (50h).
    bool flagStatusRegister = false;
    std::optional<uint8_t> securityRegister;
    uint64_t pageProgramNs = 0;
    uint64_t sectorEraseNs = 0; // 4 KiB, 20h
    uint64_t blockEraseNs = 0;  // 64 KiB, D8h
    // What D8h erases: 64 KiB, or a uniform sector of 256 KiB (Spansion S25FL-S uniform
    // sector option).
    uint32_t blockEraseSize = 64 * 1024;
    uint64_t chipEraseNs = 0;   // C7h / 60h, or C4h per die
    uint64_t statusWriteNs = 0; // 01h

    SocketBus bus = SocketBus::Spi;
    // 24xx: word address bytes after the device address byte (1 or 2; 0 for the original
    // 24C01, whose first byte is the 7-bit word address and R/W), and the bits of the
    // device address byte (3-1) that carry the address bits above them (24C16: 0x0E, a10-a8;
    // 24C1024: 0x02, a16); the others must match the address pins, all tied low.
    uint8_t i2cAddressBytes = 1;
    uint8_t i2cBlockBits = 0;
    // 24xx WP high: Microchip acknowledges everything and writes nothing; ST (WC) refuses the
    // data bytes.
    bool stWriteControl = false;
    // 93xx: the organisation (8 or 16 bits a word) and the address bits of an instruction.
    uint8_t microwireWordBits = 16;
    uint8_t microwireAddressBits = 6;
    // Write cycles: 24xx tWR (a page), 93xx WRITE and ERASE (tWC), ERAL (tEC), WRAL (tWL).
    uint64_t writeCycleNs = 0;
    uint64_t eraseAllNs = 0;
    uint64_t writeAllNs = 0;
    // 25xx on the SPI lines in place of a flash (spieeprom.h): the address bytes after READ
    // and WRITE (1, 2 or 3; 0 for a flash) and, on 4-Kbit parts, A8 in bit 3 of the opcode.
    // writeCycleNs is its tWC.
    uint8_t spiEepromAddressBytes = 0;
    bool spiEepromA8InOpcode = false;
};

ChipModel w25q64fv();
ChipModel w25q256jv();
ChipModel mx25l6433f();
ChipModel w25q80dv();
ChipModel sst25vf016b();
ChipModel sst25vf040();
ChipModel at45db161d();
ChipModel at25df041a();
ChipModel gd25q64c();
ChipModel s25fl128s();
ChipModel mt25ql256();
ChipModel sst25vf010();
ChipModel at25f512();
ChipModel le25fw406a();
ChipModel pm25ld040();
ChipModel xm25qh64c();
ChipModel gd25q128e();
ChipModel sst26vf064b();
ChipModel s25fl256s();
ChipModel pm25lq032c();
ChipModel at25dq161();
ChipModel gd25q256d();
ChipModel mt25ql01g();
ChipModel w25m512jv();
ChipModel a25l080p();
// Zbit ZB25VQ64, a Winbond-style part (JEDEC 5E 40 17, SRP0 SEC TB BP2..BP0, Status
// Register-2 SUS CMP LB3..LB1 QE SRP1, QE set by the board) whose status writes follow these
// Quad Enable Requirements (JESD216, 3 bits), answered in its SFDP table: 001b a one-byte 01h
// clears Status Register-2, 100b keeps it, 101b clears it as 001b, 110b only 31h writes it
// (01h with a second byte is ignored), 010b it has none and QE is Status Register-1 bit 6.
// Any other value: no SFDP table, one-byte 01h clearing Status Register-2 as on 001b.
ChipModel zb25vq64(uint8_t quadEnableRequirements = 1);
// Winbond W25Q64JW: the 1.7-1.95 V twin of the W25Q64JV (JEDEC EF 60 17).
ChipModel w25q64jw();
// Winbond W25Q128JV with WPS set (Status Register-3 bit 2): every block locked at power-up.
ChipModel w25q128jvLocked();
// Macronix MX25L12835F with WPSEL set (Security Register bit 7): every block locked.
ChipModel mx25l12835fLocked();
// A part no chip list knows, describing itself by its SFDP table.
ChipModel sfdpOnlyChip();
// An SFDP header and Basic Flash Parameter Table (16 words) for a part of
// this size, with these Quad Enable Requirements (JESD216B, 3 bits).
std::vector<uint8_t> sfdpTable(uint32_t sizeBytes, uint8_t quadEnableRequirements);
// An SFDP header and Basic Flash Parameter Table of JESD216's first revision (9 words), as
// Winbond's W25Q parts of 2012 on answer it: 4 KiB erase throughout by 20h; erase types
// 4 KiB (20h), 32 KiB (52h) and 64 KiB (D8h).
std::vector<uint8_t> sfdpFirstRevisionTable(uint32_t sizeBytes);
// The same, for a part of uniform 256 KiB sectors: no 4 KiB erase, one erase type, 256 KiB by
// D8h.
std::vector<uint8_t> sfdpUniform256kTable(uint32_t sizeBytes);
// Parts whose erase sizes the presets above lack: D8h erasing 256 KiB.
ChipModel s25fl128sUniform256k();

// 24xx I2C EEPROMs (i2ceeprom.h).
ChipModel eeprom24c02();
ChipModel eeprom24c16();
ChipModel eeprom24c256();
ChipModel eeprom24c1024();
// 93xx Microwire EEPROMs (microwireeeprom.h), by organisation.
ChipModel eeprom93c46(uint8_t wordBits);
ChipModel eeprom93c66(uint8_t wordBits);
ChipModel eeprom93c86(uint8_t wordBits);

// Builds a made-up part for tests, starting from a preset (W25Q64FV by default).
class ChipModelBuilder
{
public:
    explicit ChipModelBuilder(ChipModel base = w25q64fv());

    ChipModelBuilder &name(std::string name);
    ChipModelBuilder &jedecId(uint8_t manufacturer, uint8_t type, uint8_t capacity);
    ChipModelBuilder &sizeBytes(uint32_t size);
    ChipModelBuilder &pageSize(uint32_t size);
    ChipModelBuilder &manufacturerDeviceId(std::optional<std::array<uint8_t, 2>> id);
    ChipModelBuilder &electronicSignature(std::vector<uint8_t> answer);
    ChipModelBuilder &statusRegister3(std::optional<uint8_t> value);
    ChipModelBuilder &uniqueId(std::optional<uint64_t> id);
    ChipModelBuilder &fourByteAddressing(bool supported);
    ChipModelBuilder &powerUpStatus1(uint8_t value);
    ChipModelBuilder &timingNs(uint64_t pageProgram, uint64_t sectorErase, uint64_t blockErase,
                               uint64_t chipErase, uint64_t statusWrite);
    ChipModel build() const { return m_model; }

private:
    ChipModel m_model;
};

} // namespace emu
