#include "emulatorharness.h"

#include "bridge/bridge.h"
#include "bridge/usblink.h"

#include <QDesktopServices>

#include <algorithm>

emu::ChipModel EmulatorHarness::modelOf(ChipKind kind)
{
    if (kind == ChipKind::EN25QH64)
        return emu::ChipModelBuilder(emu::mx25l6433f()).jedecId(0x1C, 0x70, 0x17).build();
    if (kind == ChipKind::Unknown)
        return emu::ChipModelBuilder(emu::w25q80dv()).jedecId(0x12, 0x34, 0x56).build();
    if (kind == ChipKind::GD25Q128C)
        return emu::ChipModelBuilder(emu::gd25q64c())
            .jedecId(0xC8, 0x40, 0x18)
            .sizeBytes(16 * 1024 * 1024)
            .build();
    if (kind == ChipKind::ZB25VQ64)
        return emu::zb25vq64(0);
    if (kind == ChipKind::W25Q128JV)
        return emu::w25q128jvLocked();
    if (kind == ChipKind::MX25L12835F)
        return emu::mx25l12835fLocked();
    if (kind == ChipKind::W25Q64JW)
        return emu::w25q64jw();
    if (kind == ChipKind::M45PE16) {
        emu::ChipModel model = emu::ChipModelBuilder(emu::w25q80dv())
                                   .jedecId(0x20, 0x40, 0x15)
                                   .sizeBytes(2 * 1024 * 1024)
                                   .build();
        model.chipEraseCommand = false;
        model.sectorEraseCommand = false;
        return model;
    }
    if (kind == ChipKind::W77Q32JW) {
        emu::ChipModel model = emu::ChipModelBuilder(emu::w25q80dv())
                                   .jedecId(0xEF, 0x8A, 0x16)
                                   .sizeBytes(4 * 1024 * 1024)
                                   .build();
        model.sfdp = emu::sfdpTable(model.sizeBytes, 4);
        return model;
    }
    if (kind == ChipKind::S25FL128S256K)
        return emu::s25fl128sUniform256k();
    if (kind == ChipKind::MT25QL256QER2) {
        emu::ChipModel model = emu::mt25ql256();
        model.sfdp = emu::sfdpTable(model.sizeBytes, 2);
        return model;
    }
    // In the order of ChipKind.
    static emu::ChipModel (*const models[])() = {
        emu::w25q80dv,    emu::w25q64fv,   emu::w25q256jv,    emu::sst25vf016b, emu::sst25vf040,
        emu::at25df041a,  emu::mx25l6433f, emu::gd25q64c,     emu::s25fl128s,   emu::mt25ql256,
        nullptr,          emu::at45db161d, nullptr,           emu::w25q64fv,    emu::sst25vf010,
        emu::at25f512,    emu::le25fw406a, emu::pm25ld040,    emu::xm25qh64c,   emu::gd25q128e,
        emu::sst26vf064b, emu::s25fl256s,  emu::sfdpOnlyChip, emu::pm25lq032c,  emu::at25dq161,
        emu::gd25q256d,   emu::mt25ql01g,  emu::w25m512jv,    emu::a25l080p};
    return models[int(kind)]();
}

ch341::BridgeKind EmulatorHarness::bridge()
{
    return qgetenv("VARNOCK_TEST_BRIDGE") == "ch347" ? ch341::BridgeKind::Ch347
                                                     : ch341::BridgeKind::Ch341a;
}

QStringList EmulatorHarness::bridgeLines()
{
    if (onCh347())
        return {QStringLiteral("CH347T 1a86:55db (emulated)"),
                QStringLiteral("SPI clock: 15 MHz")};
    return {QStringLiteral("CH341A 1a86:5512 (emulated)")};
}

emu::EmulatedLink &EmulatorHarness::install(ChipKind kind)
{
    install(std::make_unique<emu::EmulatedLink>(modelOf(kind), bridge()));
    if (kind == ChipKind::NoChip)
        m_link->setNoChip(true);
    return *m_link;
}

emu::EmulatedLink &EmulatorHarness::install(std::unique_ptr<emu::EmulatedLink> link)
{
    // Asked for by name, a missing bridge is reported by its own name.
    ch341::setBridgeChoice(link->bridgeKind() == ch341::BridgeKind::Ch347
                               ? ch341::BridgeChoice::Ch347
                               : ch341::BridgeChoice::Ch341a);
    m_link = link.get();
    ch341::installUsbLink(std::move(link));
    return *m_link;
}

emu::EmulatedLink &EmulatorHarness::install(const emu::ChipModel &model)
{
    return install(std::make_unique<emu::EmulatedLink>(model, bridge()));
}

emu::EmulatedLink &EmulatorHarness::install(const emu::SpiEepromModel &model)
{
    return install(emu::catalogEntryOf(model));
}

void EmulatorHarness::poke(const QString &commands)
{
    emu::SpiFlashChip &chip = m_link->chip();
    for (const QString &command : commands.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        chip.setSelected(true);
        for (const char byte : QByteArray::fromHex(command.toLatin1()))
            chip.transfer(uint8_t(byte));
        chip.setSelected(false);
        for (int guard = 0; guard < 100000 && chip.isBusy(); ++guard)
            m_link->clock().advanceNs(emu::VirtualClock::kNsPerMs);
    }
}

void EmulatorHarness::setMemory(const QByteArray &contents)
{
    std::vector<uint8_t> &memory = m_link->socketMemory();
    memory.assign(contents.begin(), contents.end());
}

QByteArray EmulatorHarness::memory() const
{
    const std::vector<uint8_t> &memory = m_link->socketMemory();
    return QByteArray(reinterpret_cast<const char *>(memory.data()), int(memory.size()));
}

QList<QByteArray> EmulatorHarness::frames() const
{
    QList<QByteArray> result;
    const emu::SpiEeprom *eeprom = m_link->spiEeprom();
    for (const std::vector<uint8_t> &frame : eeprom ? eeprom->frames() : m_link->chip().frames())
        result.append(QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size())));
    return result;
}

QString EmulatorHarness::windowsByOpcode(const QString &opcodes) const
{
    const QList<QByteArray> windows = frames();
    QStringList counted;
    for (const QString &item : opcodes.split(QLatin1Char(' '))) {
        const char opcode = char(item.left(2).toInt(nullptr, 16));
        counted << item.left(3) + QString::number(std::count_if(windows.cbegin(), windows.cend(),
                                                                [opcode](const QByteArray &f) {
                                                                    return f.at(0) == opcode;
                                                                }));
    }
    return counted.join(QLatin1Char(' '));
}

quint64 EmulatorHarness::transfers() const
{
    const emu::EmulatedLink::Counters &counters = m_link->counters();
    return counters.exchanges + counters.controlTransfers;
}

UrlCatcher::UrlCatcher(QList<QUrl> *opened, QObject *parent)
    : QObject(parent)
    , m_opened(opened)
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
}

UrlCatcher::~UrlCatcher()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}
