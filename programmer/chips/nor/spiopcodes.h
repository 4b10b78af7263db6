#pragma once

// Serial NOR flash opcodes of the 25 series, named after the datasheet
// mnemonics, and the status register bits the jobs look at.

#include <cstdint>

// Above 16 MiB a chip needs 4-byte addresses; exactly 16 MiB still fits in three.
constexpr uint32_t kThreeByteAddressLimit = 0x1000000;

namespace SpiOpcode {
constexpr uint8_t WREN = 0x06;     // write enable: sets WEL
constexpr uint8_t WRDI = 0x04;     // write disable: clears WEL
constexpr uint8_t RDSR = 0x05;     // read status register 1
constexpr uint8_t RDSR2 = 0x35;    // read status register 2 (Winbond, GigaDevice)
constexpr uint8_t WRSR = 0x01;     // write status register(s)
constexpr uint8_t WRSR2 = 0x31;    // write status register 2 (Winbond, GigaDevice)
constexpr uint8_t RBPR = 0x72;     // SST26: read block-protection register
constexpr uint8_t ULBPR = 0x98;    // SST26, Winbond, Macronix: global block (protection) unlock
constexpr uint8_t CLSR = 0x30;     // Spansion: clear status register error flags
constexpr uint8_t EWSR = 0x50;     // SST: enable write status register
constexpr uint8_t AAI_WORD = 0xAD; // SST: auto-address-increment word program
constexpr uint8_t AAI_BYTE = 0xAF; // SST: auto-address-increment byte program
constexpr uint8_t READ = 0x03;     // read data
constexpr uint8_t PP = 0x02;       // page program
constexpr uint8_t CE = 0xC7;       // chip erase
constexpr uint8_t CE_AT25F = 0x62; // Atmel AT25F512 ... AT25F4096: chip erase
constexpr uint8_t EN4B = 0xB7;     // enter 4-byte address mode
constexpr uint8_t EX4B = 0xE9;     // exit 4-byte address mode
constexpr uint8_t RDID = 0x9F;     // JEDEC identifier
constexpr uint8_t REMS = 0x90;     // manufacturer and device identifier
constexpr uint8_t RES = 0xAB;      // release from deep power-down / signature
constexpr uint8_t RDSR3 = 0x15;    // status register 3, or configuration register
constexpr uint8_t RDUID = 0x4B;    // unique identifier
constexpr uint8_t RDSFDP = 0x5A;   // serial flash discoverable parameters
constexpr uint8_t SE = 0x20;       // sector erase, 4 KiB
constexpr uint8_t BE = 0xD8;       // block erase, 64 KiB
// Read, page program and erases with a 4-byte address, for parts without a 4-byte mode.
constexpr uint8_t READ4B = 0x13;  // read data
constexpr uint8_t PP4B = 0x12;    // page program
constexpr uint8_t SE4B = 0x21;    // sector erase
constexpr uint8_t BE4B = 0xDC;    // block erase
constexpr uint8_t WRSR3 = 0x11;   // write status register 3
constexpr uint8_t DE = 0xC4;      // Micron: die erase, with an address in the die
constexpr uint8_t DIESEL = 0xC2;  // Winbond W25M: software die select, one byte
constexpr uint8_t WREAR = 0xC5;   // Winbond: write extended address register
constexpr uint8_t RDBLK = 0x3D;   // Winbond: read block lock, with an address
constexpr uint8_t RDBLOCK = 0x3C; // Macronix: read block lock status, with an address
constexpr uint8_t RDSCUR = 0x2B;  // Macronix: read security register
constexpr uint8_t RFSR = 0x70;    // Micron: read flag status register
constexpr uint8_t CLFSR = 0x50;   // Micron: clear flag status register
} // namespace SpiOpcode

// Micron Flag Status Register (70h).
namespace FlagStatus {
constexpr uint8_t READY = 0x80;
constexpr uint8_t ERASE_ERROR = 0x20;
constexpr uint8_t PROGRAM_ERROR = 0x10;
constexpr uint8_t PROTECTION_ERROR = 0x02;
constexpr uint8_t ERRORS = ERASE_ERROR | PROGRAM_ERROR | PROTECTION_ERROR;
} // namespace FlagStatus

namespace SpiStatus {
constexpr uint8_t BUSY = 0x01;
constexpr uint8_t WEL = 0x02;
constexpr uint8_t SST_AAI = 0x40; // SST: AAI programming still in progress
} // namespace SpiStatus
