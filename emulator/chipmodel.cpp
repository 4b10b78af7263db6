#include "chipmodel.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace emu {

namespace {

constexpr uint64_t kUs = 1000;
constexpr uint64_t kMs = 1000 * kUs;
constexpr uint64_t kS = 1000 * kMs;
constexpr uint32_t kMiB = 1024 * 1024;

} // namespace

// Winbond W25Q64FV datasheet: ids EF 40 17 / EF 16 / 16, 64-bit unique id, an
// SFDP table of JESD216's first revision; typical tPP 0.7 ms, tSE 45 ms,
// tBE2 150 ms, tCE 20 s, tW 10 ms.
ChipModel w25q64fv()
{
    ChipModel model;
    model.name = "W25Q64FV";
    model.jedecId = {0xEF, 0x40, 0x17};
    model.sizeBytes = 8 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xEF, 0x16};
    model.electronicSignature = {0x16};
    model.statusRegister3 = 0x60; // DRV1/DRV0 at their factory setting
    model.uniqueId = 0xD26A5C3B1F082947ULL;
    model.sfdp = sfdpFirstRevisionTable(model.sizeBytes);
    model.pageProgramNs = 700 * kUs;
    model.sectorEraseNs = 45 * kMs;
    model.blockEraseNs = 150 * kMs;
    model.chipEraseNs = 20 * kS;
    model.statusWriteNs = 10 * kMs;
    return model;
}

// Winbond W25Q256JV datasheet: ids EF 40 19 / EF 18 / 18, 4-byte address
// mode (B7h/E9h, ADS in Status Register-3 bit 0); status SRP TB BP3 BP2 BP1
// BP0 WEL BUSY, Write Status Register-2 (31h); typical tPP 0.4 ms,
// tSE 45 ms, tBE2 150 ms, tCE 80 s, tW 10 ms.
ChipModel w25q256jv()
{
    ChipModel model = w25q64fv();
    model.sfdp.clear(); // not modelled
    model.name = "W25Q256JV";
    model.jedecId = {0xEF, 0x40, 0x19};
    model.sizeBytes = 32 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xEF, 0x18};
    model.electronicSignature = {0x18};
    model.uniqueId = 0x4E31A7700C5B9D12ULL;
    model.supports4ByteAddressing = true;
    model.blockProtectBits = 0x3C;
    model.topBottomBit = 0x40;
    model.acceptsWriteStatus2 = true;
    model.pageProgramNs = 400 * kUs;
    model.chipEraseNs = 80 * kS;
    return model;
}

// Macronix MX25L6433F datasheet: RDID C2 20 17, REMS C2 16, RES 16; 15h reads
// the configuration register (00h from the factory); no 4Bh unique id.
// Typical tPP 0.5 ms, tSE 40 ms, tBE 400 ms, tCE 25 s, tW 10 ms.
ChipModel mx25l6433f()
{
    ChipModel model;
    model.name = "MX25L6433F";
    model.jedecId = {0xC2, 0x20, 0x17};
    model.sizeBytes = 8 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xC2, 0x16};
    model.electronicSignature = {0x16};
    model.statusRegister3 = 0x00;
    // SRWD QE BP3 BP2 BP1 BP0; TB lives in the configuration register.
    model.blockProtectBits = 0x3C;
    model.topBottomBit = 0;
    model.hasStatus2 = false;
    model.pageProgramNs = 500 * kUs;
    model.sectorEraseNs = 40 * kMs;
    model.blockEraseNs = 400 * kMs;
    model.chipEraseNs = 25 * kS;
    model.statusWriteNs = 10 * kMs;
    return model;
}

// Winbond W25Q80DV datasheet: ids EF 40 14 / EF 13 / 13, unique id, no
// Status Register-3; typical tPP 0.8 ms, tSE 30 ms, tBE2 150 ms, tCE 2 s.
ChipModel w25q80dv()
{
    ChipModel model = w25q64fv();
    model.sfdp.clear(); // not modelled
    model.name = "W25Q80DV";
    model.jedecId = {0xEF, 0x40, 0x14};
    model.sizeBytes = 1 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xEF, 0x13};
    model.electronicSignature = {0x13};
    model.statusRegister3.reset();
    model.uniqueId = 0x17C4E2098B3355A0ULL;
    model.pageProgramNs = 800 * kUs;
    model.sectorEraseNs = 30 * kMs;
    model.chipEraseNs = 2 * kS;
    return model;
}

// SST/Microchip SST25VF016B datasheet: JEDEC BF 25 41; Read-ID (90h or ABh
// with an address) answers BF 41 alternately; Byte-Program (02h) writes one
// byte; Word-AAI (ADh) two at a time; block protection bits are set at
// power-up; status register BPL AAI BP3 BP2 BP1 BP0 WEL BUSY, written after
// EWSR (50h) or WREN. Maximum times (the datasheet gives no typical ones):
// tBP 10 us, tSE 25 ms, tBE 25 ms, tSCE 50 ms, no self-timed status write.
ChipModel sst25vf016b()
{
    ChipModel model;
    model.name = "SST25VF016B";
    model.jedecId = {0xBF, 0x25, 0x41};
    model.sizeBytes = 2 * kMiB;
    model.pageSize = 1;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xBF, 0x41};
    model.electronicSignature = {0xBF, 0x41};
    model.powerUpStatus1 = 0x1C;
    model.blockProtectBits = 0x3C;
    model.topBottomBit = 0;
    model.status1Writable = 0xBC;
    model.hasStatus2 = false;
    model.sstProgramming = true;
    model.aaiOpcode = 0xAD;
    model.pageProgramNs = 10 * kUs;
    model.sectorEraseNs = 25 * kMs;
    model.blockEraseNs = 25 * kMs;
    model.chipEraseNs = 50 * kMs;
    model.statusWriteNs = 0;
    return model;
}

// SST25VF040 datasheet (no B): no JEDEC identifier (9Fh), Read-ID (90h/ABh)
// BF 44; Byte-Program (02h) and byte AAI (AFh); BP bits set at power-up;
// tBP 20 us, tSE 25 ms, tBE 25 ms, tSCE 100 ms.
ChipModel sst25vf040()
{
    ChipModel model = sst25vf016b();
    model.name = "SST25VF040";
    model.jedecId = {0xFF, 0xFF, 0xFF};
    model.sizeBytes = 512 * 1024;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xBF, 0x44};
    model.electronicSignature = {0xBF, 0x44};
    model.aaiOpcode = 0xAF;
    model.pageProgramNs = 20 * kUs;
    model.chipEraseNs = 100 * kMs;
    return model;
}

// Atmel AT25DF041A datasheet: JEDEC 1F 44 01, 90h 1F 44; status register
// SPRL - EPE WPP SWP1 SWP0 WEL BSY; every sector is protected at power-up;
// Global Unprotect is a status write with bits 5-2 cleared while SPRL is 0.
// Typical tPP 1.5 ms, tBLKE 4 KiB 50 ms, 64 KiB 400 ms, tCHPE 4.5 s.
ChipModel at25df041a()
{
    ChipModel model;
    model.name = "AT25DF041A";
    model.jedecId = {0x1F, 0x44, 0x01};
    model.sizeBytes = 512 * 1024;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x1F, 0x44};
    model.blockProtectBits = 0;
    model.topBottomBit = 0;
    model.status1Writable = 0;
    model.hasStatus2 = false;
    model.sectorProtection = true;
    model.pageProgramNs = 1500 * kUs;
    model.sectorEraseNs = 50 * kMs;
    model.blockEraseNs = 400 * kMs;
    model.chipEraseNs = 4500 * kMs;
    return model;
}

// GigaDevice GD25Q64C datasheet: JEDEC C8 40 17, 90h C8 16, ABh 16; status
// SRP0 BP4 BP3 BP2 BP1 BP0 WEL WIP where BP4 and BP3 choose the range as SEC
// and TB do on Winbond parts; Status Register-2 with CMP (bit 6) and SRP1
// (bit 0). Typical tPP 0.6 ms, tSE 50 ms, tBE 220 ms, tCE 25 s, tW 5 ms.
ChipModel gd25q64c()
{
    ChipModel model = w25q64fv();
    model.sfdp.clear(); // not modelled
    model.name = "GD25Q64C";
    model.jedecId = {0xC8, 0x40, 0x17};
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xC8, 0x16};
    model.statusRegister3.reset();
    model.uniqueId.reset();
    model.blockProtectBits = 0x1C;
    model.topBottomBit = 0x20;
    model.pageProgramNs = 600 * kUs;
    model.sectorEraseNs = 50 * kMs;
    model.blockEraseNs = 220 * kMs;
    model.chipEraseNs = 25 * kS;
    model.statusWriteNs = 5 * kMs;
    return model;
}

// Spansion S25FL128S datasheet: JEDEC 01 20 18, 90h 01 17; status SRWD
// P_ERR E_ERR BP2 BP1 BP0 WEL WIP, the error flags cleared by CLSR (30h);
// 35h reads Configuration Register-1, written as the second byte of 01h;
// QUAD (bit 1) set here, as on a board that boots in quad mode, and a
// one-byte 01h clears it (Cypress KBA229055). Typical tPP 0.25 ms, tSE
// 130 ms (64 KiB), tBE 33 s, tW 140 ms.
ChipModel s25fl128s()
{
    ChipModel model;
    model.name = "S25FL128S";
    model.jedecId = {0x01, 0x20, 0x18};
    model.sizeBytes = 16 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x01, 0x17};
    model.electronicSignature = {0x17};
    model.topBottomBit = 0;
    model.status1Writable = 0x9C;
    model.status2ComplementBit = 0;
    model.status2LockBit = 0;
    model.status2Writable = 0xC2; // latency code, QUAD
    model.oneByteWriteClears2 = 0x02;
    model.initialStatus2 = 0x02;
    model.errorFlagBits = 0x60;
    model.pageProgramNs = 250 * kUs;
    model.sectorEraseNs = 130 * kMs;
    model.blockEraseNs = 130 * kMs;
    model.chipEraseNs = 33 * kS;
    model.statusWriteNs = 140 * kMs;
    return model;
}

// Micron MT25QL256 datasheet: JEDEC 20 BA 19; status SRWD BP3 TB BP2 BP1
// BP0 WEL WIP; ENTER/EXIT 4-BYTE ADDRESS MODE (B7h/E9h) need WRITE ENABLE
// first; the Flag Status Register (70h) reports program and erase errors. Typical tPP 0.12 ms,
// tSSE 50 ms, tSE 0.15 s, tBE 153 s, tW 1.3 ms.
ChipModel mt25ql256()
{
    ChipModel model;
    model.name = "MT25QL256";
    model.jedecId = {0x20, 0xBA, 0x19};
    model.sizeBytes = 32 * kMiB;
    model.supports4ByteAddressing = true;
    model.fourByteModeNeedsWriteEnable = true;
    model.blockProtectBits = 0x5C;
    model.hasStatus2 = false;
    model.flagStatusRegister = true;
    model.pageProgramNs = 120 * kUs;
    model.sectorEraseNs = 50 * kMs;
    model.blockEraseNs = 150 * kMs;
    model.chipEraseNs = 153 * kS;
    model.statusWriteNs = 1300 * kUs;
    return model;
}

// Atmel AT45DB161D datasheet: a DataFlash of 4096 pages of 528 bytes. It
// answers 9Fh with 1F 26 00 and knows B9h/ABh, but none of the 25-series
// read, status, program or erase opcodes.
ChipModel at45db161d()
{
    ChipModel model;
    model.name = "AT45DB161D";
    model.jedecId = {0x1F, 0x26, 0x00};
    model.sizeBytes = 4096 * 528;
    model.pageSize = 528;
    model.commandSet25Series = false;
    return model;
}

// SST25VF010A datasheet: no 9Fh, Read-ID (90h/ABh) BF 49, byte AAI (AFh),
// BP bits set at power-up.
ChipModel sst25vf010()
{
    ChipModel model = sst25vf040();
    model.name = "SST25VF010";
    model.sizeBytes = 128 * 1024;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xBF, 0x49};
    model.electronicSignature = {0xBF, 0x49};
    return model;
}

// Atmel AT25F512 datasheet: no 9Fh; Read Product ID (15h) 1F 60; status
// WPEN - - - BP1 BP0 WEN RDY; chip erase 62h, no C7h and no 4 KiB erase.
ChipModel at25f512()
{
    ChipModel model = w25q80dv();
    model.name = "AT25F512";
    model.jedecId = {0xFF, 0xFF, 0xFF};
    model.sizeBytes = 64 * 1024;
    model.manufacturerDeviceId.reset();
    model.electronicSignature.clear();
    model.statusRegister3.reset();
    model.atmelProductId = std::array<uint8_t, 2>{0x1F, 0x60};
    model.hasStatus2 = false;
    model.sectorEraseCommand = false; // its sector erase is 52h, 32 KiB
    model.chipEraseCommand = false;
    model.atmelChipErase = true;
    return model;
}

// Sanyo LE25FW406A datasheet: no 9Fh; ABh answers 62 1A.
ChipModel le25fw406a()
{
    ChipModel model = at25f512();
    model.name = "LE25FW406A";
    model.sizeBytes = 512 * 1024;
    model.atmelProductId.reset();
    model.electronicSignature = {0x62, 0x1A};
    // Sanyo's chip erase is C7h.
    model.chipEraseCommand = true;
    model.atmelChipErase = false;
    return model;
}

// PMC Pm25LD040 datasheet: 9Fh answers the continuation code 7F, then 9D 7E;
// 4 KiB sector erase by 20h (or D7h).
ChipModel pm25ld040()
{
    ChipModel model = le25fw406a();
    model.name = "Pm25LD040";
    model.sectorEraseCommand = true;
    model.jedecId = {0x7F, 0x9D, 0x7E};
    model.electronicSignature = {0x7E};
    return model;
}

// XMC XM25QH64C datasheet: JEDEC 20 40 17 (Micron's manufacturer byte);
// status SRP0 BP4 BP3 BP2 BP1 BP0 WEL WIP with BP4/BP3 acting as SEC/TB,
// Status Register-2 CMP (bit 6) and SRP1 (bit 0), as GigaDevice's GD25Q64C.
ChipModel xm25qh64c()
{
    ChipModel model = gd25q64c();
    model.name = "XM25QH64C";
    model.jedecId = {0x20, 0x40, 0x17};
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x20, 0x16};
    // Write Status Register-2 (31h) as well (ufprog vendor-xmc.c; flashrom xmc.c).
    model.acceptsWriteStatus2 = true;
    return model;
}

// GigaDevice GD25Q128E datasheet: JEDEC C8 40 18; as GD25Q64C, but Status
// Register-2 is written only by 31h: 01h with a second byte does nothing.
ChipModel gd25q128e()
{
    ChipModel model = gd25q64c();
    model.name = "GD25Q128E";
    model.jedecId = {0xC8, 0x40, 0x18};
    model.sizeBytes = 16 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xC8, 0x17};
    model.acceptsWriteStatus2 = true;
    model.twoByteStatusWrite = false;
    return model;
}

// Microchip SST26VF064B datasheet: JEDEC BF 26 43; status BUSY WEL WSE WSP
// WPLD SEC, no BP bits: the Block-Protection Register (72h) locks every block
// at power-up until Global Block-Protection Unlock (98h, after WREN); the
// configuration register (35h) shows BPNV (bit 3); page program 02h.
// Typical tPP 1.5 ms, tSE 18 ms, tBE 18 ms, tSCE 35 ms.
ChipModel sst26vf064b()
{
    ChipModel model;
    model.name = "SST26VF064B";
    model.jedecId = {0xBF, 0x26, 0x43};
    model.sizeBytes = 8 * kMiB;
    model.blockProtectBits = 0;
    model.topBottomBit = 0;
    model.status1Writable = 0;
    model.hasStatus2 = false;
    model.blockProtectionRegister = true;
    model.pageProgramNs = 1500 * kUs;
    model.sectorEraseNs = 18 * kMs;
    model.blockEraseNs = 18 * kMs;
    model.chipEraseNs = 35 * kMs;
    return model;
}

// Spansion S25FL256S datasheet: JEDEC 01 02 19; no B7h/E9h: 13h, 12h, DCh
// and 21h take a 4-byte address; otherwise as S25FL128S, P_ERR and E_ERR
// hold WIP until CLSR (30h). Typical tPP 0.25 ms, tBE 0.52 s (256 KiB).
ChipModel s25fl256s()
{
    ChipModel model = s25fl128s();
    model.name = "S25FL256S";
    model.jedecId = {0x01, 0x02, 0x19};
    model.sizeBytes = 32 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x01, 0x18};
    model.electronicSignature = {0x18};
    model.supports4ByteAddressing = true;
    model.enterExit4ByteMode = false;
    model.chipEraseNs = 67 * kS;
    return model;
}

// PMC Pm25LQ032C (flashrom pmc.c): 9Fh answers 7F 9D 46; status SRWD QE
// BP3 BP2 BP1 BP0 WEL WIP, no Status Register-2; QE set, as on a board that
// boots in quad mode; no 90h or ABh answer. Timings as the MX25L6433F's.
ChipModel pm25lq032c()
{
    ChipModel model = mx25l6433f();
    model.name = "PM25LQ032C";
    model.jedecId = {0x7F, 0x9D, 0x46};
    model.sizeBytes = 4 * kMiB;
    model.manufacturerDeviceId.reset();
    model.electronicSignature.clear();
    model.statusRegister3.reset();
    model.initialStatus1 = 0x40;
    return model;
}

// Atmel AT25DQ161 (flashrom atmel.c): JEDEC 1F 86 00; status SPRL - EPE WPP
// SWP1 SWP0 WEL BSY as on the AT25DF parts, with per-sector protection; no
// 90h answer.
ChipModel at25dq161()
{
    ChipModel model = at25df041a();
    model.name = "AT25DQ161";
    model.jedecId = {0x1F, 0x86, 0x00};
    model.sizeBytes = 2 * kMiB;
    model.manufacturerDeviceId.reset();
    return model;
}

// GigaDevice GD25Q256D (flashrom gigadevice.c, ufprog): JEDEC C8 40 19; status
// SRP0 TB BP3 BP2 BP1 BP0 WEL WIP; Status Register-2 bit 6 is SRP1 (the
// registers locked until power-off), bit 1 QE, no CMP; 01h writes both
// registers. Timings as the W25Q256JV's.
ChipModel gd25q256d()
{
    ChipModel model = w25q256jv();
    model.name = "GD25Q256D";
    model.jedecId = {0xC8, 0x40, 0x19};
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xC8, 0x18};
    model.uniqueId.reset();
    model.status2ComplementBit = 0;
    model.status2LockBit = 0x40;
    model.status2Writable = 0x42;
    model.acceptsWriteStatus2 = false;
    return model;
}

// Micron MT25QL01G datasheet: JEDEC 20 BA 21, two 512 Mbit dies; no bulk
// erase (C7h/60h): DIE ERASE (C4h) erases the die holding its address. As
// MT25QL256 otherwise (BP3 TB BP2..BP0, WRITE ENABLE before B7h/E9h), with
// its timings.
ChipModel mt25ql01g()
{
    ChipModel model = mt25ql256();
    model.name = "MT25QL01G";
    model.jedecId = {0x20, 0xBA, 0x21};
    model.sizeBytes = 128 * kMiB;
    model.chipEraseCommand = false;
    model.dieEraseSize = 64 * kMiB;
    return model;
}

// Winbond W25M512JV (ufprog SNOR_NDIES(2)): two W25Q256JV dies behind one chip
// select, JEDEC EF 71 19, Software Die Select (C2h) picks one; C7h erases
// the selected die.
ChipModel w25m512jv()
{
    ChipModel model = w25q256jv();
    model.name = "W25M512JV";
    model.jedecId = {0xEF, 0x71, 0x19};
    model.sizeBytes = 64 * kMiB;
    model.uniqueId.reset();
    model.stackedDies = 2;
    return model;
}

// AMIC A25L080P (flashrom amic.c): 9Fh answers 7F 37 20 14, four bytes; no
// 90h, ABh or Status Register-2 answer. Timings as the W25Q80DV's.
ChipModel a25l080p()
{
    ChipModel model = w25q80dv();
    model.name = "A25L080P";
    model.jedecId = {0x37, 0x20, 0x14};
    model.jedecContinuationCodes = 1;
    model.manufacturerDeviceId.reset();
    model.electronicSignature.clear();
    model.uniqueId.reset();
    model.hasStatus2 = false;
    return model;
}

std::vector<uint8_t> sfdpTable(uint32_t sizeBytes, uint8_t quadEnableRequirements)
{
    // "SFDP", revision 1.6, one table of 16 words at address 30h.
    std::vector<uint8_t> table(0x30 + 16 * 4, 0xFF);
    const uint8_t header[] = {'S',  'F',  'D',  'P',  0x06, 0x01, 0x00, 0xFF,
                              0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF};
    std::copy(std::begin(header), std::end(header), table.begin());
    // Second word of the table: density in bits, minus one.
    const uint32_t bits = sizeBytes * 8 - 1;
    for (int i = 0; i < 4; ++i)
        table[0x34 + i] = static_cast<uint8_t>(bits >> (8 * i));
    // Eleventh word, bits 7-4: pages of 2^8 bytes.
    table[0x58] = 0x80;
    // Fifteenth word, bits 22-20: the Quad Enable Requirements.
    table[0x6A] = static_cast<uint8_t>((table[0x6A] & 0x8F) | (quadEnableRequirements & 7) << 4);
    return table;
}

std::vector<uint8_t> sfdpFirstRevisionTable(uint32_t sizeBytes)
{
    // "SFDP", revision 1.0, one table of 9 words at address 80h; the fast-read words, which
    // the flasher does not read, are left FFh.
    std::vector<uint8_t> table(0x80 + 9 * 4, 0xFF);
    const uint8_t header[] = {'S',  'F',  'D',  'P',  0x00, 0x01, 0x00, 0xFF,
                              0x00, 0x00, 0x01, 0x09, 0x80, 0x00, 0x00, 0xFF};
    std::copy(std::begin(header), std::end(header), table.begin());
    // First word: 4 KiB erase throughout (bits 1-0: 01), its opcode 20h.
    const uint8_t first[] = {0xE5, 0x20, 0xF9, 0xFF};
    std::copy(std::begin(first), std::end(first), table.begin() + 0x80);
    const uint32_t bits = sizeBytes * 8 - 1;
    for (int i = 0; i < 4; ++i)
        table[0x84 + i] = static_cast<uint8_t>(bits >> (8 * i));
    // Eighth and ninth words: erase types as 2^N bytes and opcode: 4 KiB 20h, 32 KiB 52h,
    // 64 KiB D8h, no fourth.
    const uint8_t eraseTypes[] = {0x0C, 0x20, 0x0F, 0x52, 0x10, 0xD8, 0x00, 0xFF};
    std::copy(std::begin(eraseTypes), std::end(eraseTypes), table.begin() + 0x80 + 7 * 4);
    return table;
}

// Winbond W25Q64JW datasheet: JEDEC EF 60 17, a 1.7-1.95 V part with the W25Q64JV's
// registers and commands.
ChipModel w25q64jw()
{
    ChipModel model = w25q64fv();
    model.name = "W25Q64JW";
    model.jedecId = {0xEF, 0x60, 0x17};
    return model;
}

// Winbond W25Q128JV datasheet: JEDEC EF 40 18, Status Register-3 WPS (bit 2) selects the
// individual block locks (36h/39h, read by 3Dh, all cleared by 98h), every one set at
// power-up; DRV1/DRV0 (bits 6-5) at their factory setting.
ChipModel w25q128jvLocked()
{
    ChipModel model = w25q64fv();
    model.name = "W25Q128JV";
    model.jedecId = {0xEF, 0x40, 0x18};
    model.sizeBytes = 16 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xEF, 0x17};
    model.electronicSignature = {0x17};
    model.statusRegister3 = 0x64;
    model.blockLockReadOpcode = 0x3D;
    model.sfdp = sfdpFirstRevisionTable(model.sizeBytes);
    return model;
}

// Macronix MX25L12835F datasheet: JEDEC C2 20 18; the Security Register (2Bh) bit WPSEL
// (one-time) selects individual block protection, read by RDBLOCK (3Ch), all unlocked by
// GBULK (98h).
ChipModel mx25l12835fLocked()
{
    ChipModel model = mx25l6433f();
    model.name = "MX25L12835F";
    model.jedecId = {0xC2, 0x20, 0x18};
    model.sizeBytes = 16 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0xC2, 0x17};
    model.electronicSignature = {0x17};
    model.securityRegister = 0x80;
    model.blockLockReadOpcode = 0x3C;
    return model;
}

ChipModel zb25vq64(uint8_t quadEnableRequirements)
{
    ChipModel model = w25q64fv();
    model.name = "ZB25VQ64";
    model.jedecId = {0x5E, 0x40, 0x17};
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x5E, 0x16};
    model.statusRegister3.reset();
    model.uniqueId.reset();
    model.initialStatus2 = 0x02;
    const bool known =
        quadEnableRequirements <= 6 && quadEnableRequirements != 0 && quadEnableRequirements != 3;
    model.sfdp =
        known ? sfdpTable(model.sizeBytes, quadEnableRequirements) : std::vector<uint8_t>{};
    switch (known ? quadEnableRequirements : 1) {
    case 4:
        break;
    case 6:
        model.twoByteStatusWrite = false;
        model.acceptsWriteStatus2 = true;
        break;
    case 2:
        model.hasStatus2 = false;
        model.initialStatus2 = 0x00;
        model.initialStatus1 = 0x40;
        break;
    default: // 001b, 101b: a one-byte 01h writes Status Register-2 as zeros
        model.oneByteWriteClears2 = model.status2Writable;
        break;
    }
    return model;
}

// A made-up part (JEDEC 4A 40 16) whose SFDP header and Basic Flash Parameter
// Table give 4 MiB.
ChipModel sfdpOnlyChip()
{
    ChipModel model = w25q80dv();
    model.name = "SFDP-only";
    model.jedecId = {0x4A, 0x40, 0x16};
    model.sizeBytes = 4 * kMiB;
    model.manufacturerDeviceId = std::array<uint8_t, 2>{0x4A, 0x15};
    model.electronicSignature = {0x15};
    model.sfdp = sfdpTable(model.sizeBytes, 7);
    return model;
}

// Spansion S25FL128S with the uniform 256 KiB sector option (model number ending in 0): as the
// 64 KiB option but that D8h erases a 256 KiB sector and 20h (P4E) is ignored, there being no
// 4 KiB parameter sectors; its SFDP table says so.
ChipModel s25fl128sUniform256k()
{
    ChipModel model = s25fl128s();
    model.name = "S25FL128S-256K";
    model.blockEraseSize = 256 * 1024;
    model.sectorEraseCommand = false;
    model.blockEraseNs = 520 * kMs;
    model.sfdp = sfdpUniform256kTable(model.sizeBytes);
    return model;
}

std::vector<uint8_t> sfdpUniform256kTable(uint32_t sizeBytes)
{
    std::vector<uint8_t> table = sfdpFirstRevisionTable(sizeBytes);
    // First word, bits 1-0: 11, no 4 KiB erase; its opcode FFh.
    table[0x80] = 0xE7;
    table[0x81] = 0xFF;
    // Erase type 1: 2^18 bytes by D8h; the others unused.
    const uint8_t eraseTypes[] = {0x12, 0xD8, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF};
    std::copy(std::begin(eraseTypes), std::end(eraseTypes), table.begin() + 0x80 + 7 * 4);
    return table;
}

ChipModelBuilder::ChipModelBuilder(ChipModel base)
    : m_model(std::move(base))
{
}

ChipModelBuilder &ChipModelBuilder::name(std::string name)
{
    m_model.name = std::move(name);
    return *this;
}

ChipModelBuilder &ChipModelBuilder::jedecId(uint8_t manufacturer, uint8_t type, uint8_t capacity)
{
    m_model.jedecId = {manufacturer, type, capacity};
    return *this;
}

ChipModelBuilder &ChipModelBuilder::sizeBytes(uint32_t size)
{
    m_model.sizeBytes = size;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::pageSize(uint32_t size)
{
    m_model.pageSize = size;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::manufacturerDeviceId(std::optional<std::array<uint8_t, 2>> id)
{
    m_model.manufacturerDeviceId = id;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::electronicSignature(std::vector<uint8_t> answer)
{
    m_model.electronicSignature = std::move(answer);
    return *this;
}

ChipModelBuilder &ChipModelBuilder::statusRegister3(std::optional<uint8_t> value)
{
    m_model.statusRegister3 = value;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::uniqueId(std::optional<uint64_t> id)
{
    m_model.uniqueId = id;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::fourByteAddressing(bool supported)
{
    m_model.supports4ByteAddressing = supported;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::powerUpStatus1(uint8_t value)
{
    m_model.powerUpStatus1 = value;
    return *this;
}

ChipModelBuilder &ChipModelBuilder::timingNs(uint64_t pageProgram, uint64_t sectorErase,
                                             uint64_t blockErase, uint64_t chipErase,
                                             uint64_t statusWrite)
{
    m_model.pageProgramNs = pageProgram;
    m_model.sectorEraseNs = sectorErase;
    m_model.blockEraseNs = blockErase;
    m_model.chipEraseNs = chipErase;
    m_model.statusWriteNs = statusWrite;
    return *this;
}

} // namespace emu
