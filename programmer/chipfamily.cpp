#include "chipfamily.h"

#include <QRegularExpression>

namespace {
using PC = ProtectionClearing;

// Status Register-1 layouts, from the families' datasheets.
const ChipFamily kWinbond = {"Winbond", 0x1C, true, PC::StatusWrite, false};
// SRP0 SEC TB BP2 BP1 BP0 without Status Register-2 (W25X and unknown parts).
const ChipFamily kDefault = {"25 series", 0x1C, false, PC::StatusWrite, false};
// SRWD QE BP3 BP2 BP1 BP0: QE is no protection. Older parts lack BP3 and
// read 0 there.
const ChipFamily kMacronix = {"Macronix", 0x3C, false, PC::StatusWrite, false};
// SRP0 BP4 BP3 BP2 BP1 BP0; on some parts BP4/BP3 only choose the side and
// granularity, but a status write clearing them never hurts.
const ChipFamily kGigaDevice = {"GigaDevice", 0x7C, true, PC::StatusWrite, false};
// S25FL-P/S: SRWD P_ERR E_ERR BP2 BP1 BP0: bits 6 and 5 report failed
// programs and erases.
const ChipFamily kSpansion = {"Spansion", 0x1C, false, PC::StatusWrite, false};
// N25Q, MT25Q (M25P read 0 in bit 6): SRWD BP3 TB BP2 BP1 BP0; TB alone
// protects nothing.
const ChipFamily kMicron = {"Micron", 0x5C, false, PC::StatusWrite, true};
const ChipFamily kIssi = {"ISSI", 0x3C, false, PC::StatusWrite, false};
// BPL AAI BP3 BP2 BP1 BP0; the BP bits are set at power-up.
const ChipFamily kSst = {"SST", 0x3C, false, PC::EnableWriteStatus, false};
// SPRL - EPE WPP SWP1 SWP0: SWP summarises the sector protection; WPP only
// shows the WP# pin (high on CH341A boards) and EPE a failed program.
const ChipFamily kAtmelSectors = {"Atmel AT25DF", 0x0C, false, PC::GlobalUnprotect, false};

struct PartRule
{
    const char *pattern;
    const ChipFamily *family;
};

// First match wins.
const PartRule kPartRules[] = {
    {"^S25FL\\d+K", &kWinbond}, // S25FL-K use Winbond's layout, CMP included
    {"^S25F[LS]\\d+[PS]$|^S25SL\\d+P$", &kSpansion},
    {"^W25Q", &kWinbond},
    {"^W25X", &kDefault},
    {"^AT25SF", &kWinbond},
    {"^AT2[56]DF", &kAtmelSectors},
    {"^MX(25|66)", &kMacronix},
    {"^GD25", &kGigaDevice},
    {"^(N25Q|MT25Q|M25P)", &kMicron},
    {"^IS25", &kIssi},
    {"^(SST|PCT)25", &kSst},
};

struct ManufacturerRule
{
    uint8_t id;
    const ChipFamily *family;
};

const ManufacturerRule kManufacturerRules[] = {
    {0xEF, &kWinbond}, {0xC2, &kMacronix}, {0xC8, &kGigaDevice},
    {0x20, &kMicron},  {0x9D, &kIssi},     {0xBF, &kSst},
};
} // namespace

const ChipFamily &FamilyOfChip(const QString &partName, uint8_t manufacturerId)
{
    for (const PartRule &rule : kPartRules) {
        if (QRegularExpression(QLatin1String(rule.pattern)).match(partName).hasMatch())
            return *rule.family;
    }
    for (const ManufacturerRule &rule : kManufacturerRules) {
        if (rule.id == manufacturerId)
            return *rule.family;
    }
    return kDefault;
}

bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2)
{
    const uint8_t bits = status1 & family.protectionBits;
    // With CMP set, all BP bits set protect nothing and anything less protects
    // at least the rest of the array (BP all clear: all of it).
    // A part without Status Register-2 leaves the data line floating (FFh).
    const bool complement =
        family.hasComplementBit && status2 != 0xFF && (status2 & ChipStatus::COMPLEMENT) != 0;
    if (complement)
        return bits != family.protectionBits;
    return bits != 0;
}
