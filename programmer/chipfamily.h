#pragma once

// How each chip family protects itself: which status bits block programming,
// how the protection is cleared, and its 4-byte mode quirk. Plain data.

#include <QString>

#include <cstdint>

enum class ProtectionClearing {
    // Write enable, then a status write with the protection bits cleared.
    StatusWrite,
    // SST: Enable-Write-Status-Register (50h) right before the status write.
    EnableWriteStatus,
    // Atmel AT25DF/AT26DF: a status write of 00h unprotects every sector, once
    // SPRL is clear.
    GlobalUnprotect,
};

struct ChipFamily
{
    const char *name;
    // Status Register-1 bits that protect part of the array when set.
    uint8_t protectionBits;
    // Status Register-2 (35h) bit 6 CMP inverts the protected range.
    bool hasComplementBit;
    ProtectionClearing clearing;
    // Micron: Enter/Exit 4-Byte Address Mode (B7h/E9h) need write enable.
    bool fourByteModeNeedsWriteEnable;
};

namespace ChipStatus {
// SRP0, SRWD, BPL or SPRL: with WP# low the status register is read-only.
constexpr uint8_t REGISTER_PROTECT = 0x80;
constexpr uint8_t COMPLEMENT = 0x40; // Status Register-2 CMP
constexpr uint8_t SRP1 = 0x01;       // Status Register-2: lock until power-off, or for ever
} // namespace ChipStatus

// The family of a chip-list row: by part number first (it names the vendor's
// product line), then by the JEDEC manufacturer byte; Winbond's BP2..BP0 at
// bits 4-2 when neither is known.
const ChipFamily &FamilyOfChip(const QString &partName, uint8_t manufacturerId);

// True when a chip of this family with these status registers would refuse
// some program or erase.
bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2);
