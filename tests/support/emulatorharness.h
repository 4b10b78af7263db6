#pragma once

// Installs a fresh emulated bridge with a chosen flash chip as the bridge
// library's USB link, and gives tests Qt-typed access to it. The bridge is a
// CH341A, or a CH347 when VARNOCK_TEST_BRIDGE is "ch347": CTest runs the job
// tests once on each.

#include "emulator/emulatedlink.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <memory>

enum class ChipKind {
    W25Q80DV,    // 1 MiB, EF4014
    W25Q64FV,    // 8 MiB, EF4017
    W25Q256JV,   // 32 MiB, EF4019, 4-byte addressing
    SST25VF016B, // 2 MiB, BF2541, word AAI
    SST25VF040,  // 512 KiB, byte AAI, no JEDEC identifier
    AT25DF041A,  // 512 KiB, 1F4401, sector protection
    MX25L6433F,  // 8 MiB, C22017, BP3
    GD25Q64C,    // 8 MiB, C84017, BP4 and CMP
    S25FL128S,   // 16 MiB, 012018, error flags
    MT25QL256,   // 32 MiB, 20BA19, write enable before B7/E9
    EN25QH64,    // 8 MiB, 1C7017, with a BP3 bit the worker's default layout lacks
    AT45DB161D,  // 1F2600, a 45-series DataFlash
    Unknown,     // answers an identifier no chip-list row has
    NoChip,      // empty socket
    SST25VF010,  // 128 KiB, REMS BF49 only, byte AAI
    AT25F512,    // 64 KiB, Atmel 15h 1F60 only
    LE25FW406A,  // 512 KiB, two-byte ABh 621A only
    Pm25LD040,   // 512 KiB, 9Fh 7F 9D 7E
    XM25QH64C,   // 8 MiB, 204017, GigaDevice's layout under Micron's byte
    GD25Q128E,   // 16 MiB, C84018, Status Register-2 written only by 31h
    SST26VF064B, // 8 MiB, BF2643, block register locked at power-up
    S25FL256S,   // 32 MiB, 010219, no B7h, error flags hold WIP
    SfdpOnly,    // 4 MiB, 4A4016, in no chip list, with an SFDP table
    PM25LQ032C,  // 4 MiB, 7F 9D 46, QE in Status Register-1 bit 6, set
    AT25DQ161,   // 2 MiB, 1F8600, sector protection, WPP read-only
    GD25Q256D,   // 32 MiB, C84019, SRP1 in Status Register-2 bit 6, no CMP
    MT25QL01G,   // 128 MiB, 20BA21, two dies erased by C4h, no C7h
    W25M512JV,   // 64 MiB, EF7119, two W25Q256JV dies chosen by C2h
    A25L080P,    // 1 MiB, 7F 37 20 14
    GD25Q128C,   // 16 MiB, C84018 as GD25Q128E, Status Register-2 written by 01h
    W77Q32JW,    // 4 MiB, EF8A16 as W77Q16JW (2 MiB), told apart by its SFDP table
    M45PE16,     // 2 MiB, 204015, no 20h and no C7h: 64 KiB erased by D8h
    ZB25VQ64,    // 8 MiB, 5E4017, Winbond-style on the default layout, QE set, no SFDP
    W25Q128JV,   // 16 MiB, EF4018, WPS set: every block locked at power-up
    MX25L12835F, // 16 MiB, C22018, WPSEL set: every block locked at power-up
    W25Q64JW,    // 8 MiB, EF6017, a 1.7-1.95 V part
    // Erase sizes and status bits the other parts lack.
    S25FL128S256K, // 16 MiB, 012018, uniform 256 KiB sectors: D8h erases 256 KiB, no 20h
    MT25QL256QER2, // 32 MiB, 20BA19, its SFDP placing Quad Enable on bit 6, Micron's BP3
};

class EmulatorHarness
{
public:
    static ch341::BridgeKind bridge();
    static bool onCh347() { return bridge() == ch341::BridgeKind::Ch347; }
    // The bytes a whole-chip read asks for per command on the emulated bridge.
    static int readChunk() { return onCh347() ? 65536 : 4096; }
    // The gray lines the worker logs after "Connecting to Programmer... OK".
    static QStringList bridgeLines();

    // The part install(kind) emulates, for a test to change before installing it.
    static emu::ChipModel modelOf(ChipKind kind);
    // Replaces the process-wide link; the library closes what it held.
    emu::EmulatedLink &install(ChipKind kind);
    emu::EmulatedLink &install(std::unique_ptr<emu::EmulatedLink> link);
    emu::EmulatedLink &install(const emu::ChipModel &model);
    // A 25xx EEPROM in the socket; setMemory, memory and frames are then its. setMemory and
    // memory reach whatever part is in the socket.
    emu::EmulatedLink &install(const emu::SpiEepromModel &model);
    emu::EmulatedLink &link() { return *m_link; }
    emu::SpiFlashChip &chip() { return m_link->chip(); }
    // Runs space-separated hex commands on the chip, each in its own select window.
    void poke(const QString &commands);
    void setBlockProtect(int bits) { m_link->chip().setBlockProtection(uint8_t(bits)); }

    void setMemory(const QByteArray &contents);
    QByteArray memory() const;
    QList<QByteArray> frames() const;
    // How many windows each opcode opened, in the form given: "20:1 02:16" for "20:? 02:?".
    QString windowsByOpcode(const QString &opcodes) const;

    bool isOpen() const { return m_link->isOpen(); }
    // The programmer let go of the chip: every pin an input (CH341A), chip select high (CH347).
    bool isReleased() const { return m_link->firmware().released(); }
    // What the unplug fault counts: exchanges and control requests.
    quint64 transfers() const;

private:
    emu::EmulatedLink *m_link = nullptr;
};

// Catches the URLs the program asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    explicit UrlCatcher(QList<QUrl> *opened, QObject *parent = nullptr);
    ~UrlCatcher() override;

public slots:
    void open(const QUrl &url) { m_opened->append(url); }

private:
    QList<QUrl> *m_opened;
};
