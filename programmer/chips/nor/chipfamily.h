#pragma once

// How each part protects itself: which status bits block programming, how the
// protection is cleared, how it reaches above 16 MiB and how the whole chip is
// erased. Plain data, one layout per part, from chipdb/data/chips.tsv and
// layouts.tsv; rows that share an identifier are settled into one layout here.

#include <QList>
#include <QString>

#include <cstdint>

struct ChipRecord;

// Ways to clear protection; a layout may name several, tried in the order of
// ClearProtection until one takes effect.
namespace ProtectionClearing {
// Write enable, then 01h with Status Register-1 alone.
constexpr uint8_t StatusWrite = 0x01;
// Write enable, then 01h with Status Register-1 and Status Register-2.
constexpr uint8_t StatusWriteBoth = 0x02;
// 01h with Status Register-1, then Write Status Register-2 (31h): parts that
// ignore a second byte after 01h.
constexpr uint8_t StatusWriteSeparate = 0x04;
// SST: Enable-Write-Status-Register (50h) right before the status write.
constexpr uint8_t EnableWriteStatus = 0x08;
// Atmel AT25DF/AT26DF: a status write of 00h unprotects every sector, once
// SPRL is clear.
constexpr uint8_t GlobalUnprotect = 0x10;
// SST26: write enable, then Global Block-Protection Unlock (98h).
constexpr uint8_t GlobalBlockUnlock = 0x20;
} // namespace ProtectionClearing

namespace FourByteMode {
constexpr uint8_t EnterExit = 0x00;                // B7h / E9h
constexpr uint8_t EnterExitWithWriteEnable = 0x01; // Micron, XMC: 06h before B7h and E9h
constexpr uint8_t FourByteOpcodes = 0x02; // no B7h: 13h read and 12h program take a 4-byte address
constexpr uint8_t ClearExtendedAddress = 0x04; // W25Q256FV: E9h leaves its EAR at 1
} // namespace FourByteMode

// The bit that switches a part from its BP bits to individual block locks, every block locked
// at power-up until Global Block Unlock (98h).
enum class BlockLockMode : uint8_t {
    None,
    Status3Bit2,  // Winbond WPS, S25FL-L: Status Register-3 (15h) bit 2; 3Dh reads a lock
    SecurityBit7, // Macronix WPSEL: Security Register (2Bh) bit 7; 3Ch reads a lock
};

// Where Quad Enable lives, as the Quad Enable Requirements of SFDP name it.
enum class QuadEnable : uint8_t {
    Unknown,
    None,
    Status1Bit6,
    Status2Bit1,
    Status2Bit7, // read with 3Fh, written with 3Eh: outside the registers a clear writes
};

struct ChipFamily
{
    const char *name;
    // Status Register-1 bits that protect part of the array when set.
    uint8_t protectionBits;
    // Top/bottom and sector bits: they choose the range, never protect alone.
    uint8_t topBottomBit;
    uint8_t sectorBit;
    // Status Register-2 (35h) and -3 (15h) bits that invert the protected
    // range; 0: none.
    uint8_t complementBit;
    uint8_t complementBit3;
    // Status Register-2 bit that locks the status registers until power-off
    // (SRP1; FREEZE on Spansion parts); 0: none.
    uint8_t lockBit;
    // Status Register-1 program and erase error flags, cleared by 30h.
    uint8_t errorBits;
    // Bits of Status Register-1, -2 and -3 that a clear writes back as read,
    // even where another part of the same identifier protects with them: QE
    // and the other functions.
    uint8_t keepBits;
    uint8_t keepBits2;
    uint8_t keepBits3;
    QuadEnable quadEnable;
    uint8_t clearing;     // ProtectionClearing
    uint8_t fourByteMode; // FourByteMode
    // Status Register-2 unknown to the layout: read (35h) before a clear and, where it answers,
    // written back with Status Register-1, since a one-byte 01h clears it on Winbond-style
    // parts.
    bool probesStatus2;
    BlockLockMode blockLockMode;
    // Micron: the Flag Status Register (70h) reports program and erase errors.
    bool flagStatus;
    // SFDP says a one-byte 01h clears Status Register-2 (Quad Enable Requirements 001b, 101b):
    // where it is written by 31h, 31h puts it back after every 01h.
    bool oneByteWriteClears2;
};

// Which identification answer carries a part's chip-list id.
enum class IdAnswer {
    Jedec,             // 9Fh, three bytes
    JedecContinuation, // 9Fh answering 7Fh first, then the id bytes
    Rems,              // 90h with address 0: manufacturer, device
    Res,               // ABh read as two bytes
    AtmelProductId,    // Atmel's own 15h
};

// How the whole chip is erased.
enum class WholeChipErase : uint8_t {
    ChipErase,      // C7h
    AtmelChipErase, // 62h: the old Atmel AT25F parts, which take no C7h and no 20h
    DieErase,       // Micron stacked dies: C4h with an address in each die; no C7h
    BlockByBlock,   // parts without a bulk erase: D8h on every 64 KiB block
};

struct PartFacts
{
    const char *vendor;
    const char *part;
    int layout; // index into the layouts
    IdAnswer idAnswer;
    WholeChipErase erase;
    uint8_t dies;
    // Dies behind one chip select, chosen by Software Die Select (C2h), each
    // with its own status registers and address mode.
    bool dieSelect;
};

namespace ChipStatus {
// SRP0, SRWD, BPL or SPRL: with WP# low the status register is read-only.
constexpr uint8_t REGISTER_PROTECT = 0x80;
} // namespace ChipStatus

// What the worker uses for the chip in the socket: the layout, the page and
// the erase that every part sharing its identifier (and its size) accepts.
struct SettledChip
{
    ChipFamily family{};
    QString page;
    WholeChipErase erase = WholeChipErase::ChipErase;
    int dies = 1;
    bool dieSelect = false;
};

// The layout of a chip-list row (vendor and part as the list spells them);
// the conservative default for a part the table does not know.
const ChipFamily &FamilyOfChip(const QString &vendor, const QString &partName);
const ChipFamily &DefaultFamily();
// The facts of a row, or nullptr.
const PartFacts *FactsOfPart(const QString &vendor, const QString &partName);

// The same facts of a user's row, which names them as chips.tsv does, or of a built-in row
// (FactsOfPart; the default layout where the table does not know it).
PartFacts FactsOfRow(const ChipRecord &row);
const ChipFamily &FamilyOfRow(const ChipRecord &row);
// The facts chips.tsv names, read from their names: a layout of layouts.tsv (its index, -1
// for none), the identification command ("9F", "9F7F", "90", "AB", "15") and the whole-chip
// erase ("", "62", "D8", "C4xN", "C2xN"). False for a name that is none of them.
int LayoutIndexByName(const QString &name);
bool IdAnswerOfText(const QString &text, IdAnswer &answer);
bool WholeChipEraseOfText(const QString &text, PartFacts &facts);

// Rows of one size that share an identifier, settled without asking: every
// bit any of them protects with counts, a bit that is QE or another function
// on any of them is kept, every status write any of them needs is made, and
// the erase is one they all accept. The chip's own Quad Enable Requirements
// (SFDP, 3 bits; -1: unknown), when known, leave out the rows they contradict, keep QE and
// decide how Status Register-2 is written.
SettledChip SettleParts(const QList<ChipRecord> &rows, int quadEnableRequirements = -1);
// Adds the QE bit the chip's SFDP names to the bits a clear keeps.
void KeepQuadEnable(ChipFamily &family, QuadEnable quadEnable);
// What the chip's Quad Enable Requirements (JESD216, 3 bits; -1: unknown) say of its status
// writes: 001b, 100b and 101b a 16-bit Write Status (01h with both registers), 110b Status
// Register-2 by 31h alone; QE kept in either case.
void ApplyQuadEnableRequirements(ChipFamily &family, int requirements);
// The location JESD216's Quad Enable Requirements (3 bits) give.
QuadEnable QuadEnableOfRequirements(int requirements);

// True when a chip of this layout and size with these status registers would
// refuse some program or erase.
bool IsWriteProtected(const ChipFamily &family, uint8_t status1, uint8_t status2,
                      uint8_t status3 = 0xFF, uint32_t chipSize = 0);
