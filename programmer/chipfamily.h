#pragma once

// How each part protects itself: which status bits block programming, how the
// protection is cleared, and how it reaches above 16 MiB. Plain data, one
// layout per part, from chipdb/data/chips.tsv and layouts.tsv.

#include <QString>

#include <cstdint>

enum class ProtectionClearing {
    // Write enable, then 01h with Status Register-1 alone.
    StatusWrite,
    // Write enable, then 01h with Status Register-1 and Status Register-2.
    StatusWriteBoth,
    // 01h with Status Register-1, then Write Status Register-2 (31h): parts
    // that ignore a second byte after 01h.
    StatusWriteSeparate,
    // SST: Enable-Write-Status-Register (50h) right before the status write.
    EnableWriteStatus,
    // Atmel AT25DF/AT26DF: a status write of 00h unprotects every sector, once
    // SPRL is clear.
    GlobalUnprotect,
    // SST26: write enable, then Global Block-Protection Unlock (98h).
    GlobalBlockUnlock,
};

enum class FourByteMode {
    EnterExit,                // B7h / E9h
    EnterExitWithWriteEnable, // Micron: 06h before B7h and E9h
    FourByteOpcodes,          // no B7h: 13h read and 12h program take a 4-byte address
};

struct ChipFamily
{
    const char *name;
    // Status Register-1 bits that protect part of the array when set.
    uint8_t protectionBits;
    // Top/bottom and sector bits: they choose the range, never protect alone.
    uint8_t topBottomBit;
    uint8_t sectorBit;
    // Status Register-2 (35h) bit that inverts the protected range; 0: none.
    uint8_t complementBit;
    // Status Register-1 program and erase error flags, cleared by 30h.
    uint8_t errorBits;
    ProtectionClearing clearing;
    FourByteMode fourByteMode;
};

// Which identification answer carries a part's chip-list id.
enum class IdAnswer {
    Jedec,             // 9Fh, three bytes
    JedecContinuation, // 9Fh answering 7Fh first, then the two id bytes
    Rems,              // 90h with address 0: manufacturer, device
    Res,               // ABh read as two bytes
    AtmelProductId,    // Atmel's own 15h
};

struct PartFacts
{
    const char *vendor;
    const char *part;
    int layout; // index into the layouts
    IdAnswer idAnswer;
};

namespace ChipStatus {
// SRP0, SRWD, BPL or SPRL: with WP# low the status register is read-only.
constexpr uint8_t REGISTER_PROTECT = 0x80;
constexpr uint8_t SRP1 = 0x01; // Status Register-2: lock until power-off, or for ever
} // namespace ChipStatus

// The layout of a chip-list row (vendor and part as the list spells them);
// the conservative default for a part the table does not know.
const ChipFamily &FamilyOfChip(const QString &vendor, const QString &partName);
const ChipFamily &DefaultFamily();
// The facts of a row, or nullptr.
const PartFacts *FactsOfPart(const QString &vendor, const QString &partName);

// True when a chip of this layout with these status registers would refuse
// some program or erase.
bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2);
