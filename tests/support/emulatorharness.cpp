#include "emulatorharness.h"

#include "bridge/usblink.h"

#include <QDesktopServices>

#include <memory>

namespace {
emu::ChipModel ModelOf(ChipKind kind)
{
    switch (kind) {
    case ChipKind::W25Q80DV:
        return emu::w25q80dv();
    case ChipKind::W25Q64FV:
    case ChipKind::NoChip:
        return emu::w25q64fv();
    case ChipKind::W25Q256JV:
        return emu::w25q256jv();
    case ChipKind::SST25VF016B:
        return emu::sst25vf016b();
    case ChipKind::SST25VF040:
        return emu::sst25vf040();
    case ChipKind::AT25DF041A:
        return emu::at25df041a();
    case ChipKind::MX25L6433F:
        return emu::mx25l6433f();
    case ChipKind::GD25Q64C:
        return emu::gd25q64c();
    case ChipKind::S25FL128S:
        return emu::s25fl128s();
    case ChipKind::MT25QL256:
        return emu::mt25ql256();
    case ChipKind::EN25QH64:
        return emu::ChipModelBuilder(emu::mx25l6433f()).jedecId(0x1C, 0x70, 0x17).build();
    case ChipKind::AT45DB161D:
        return emu::at45db161d();
    case ChipKind::Unknown:
        return emu::ChipModelBuilder(emu::w25q80dv()).jedecId(0x12, 0x34, 0x56).build();
    }
    return emu::w25q64fv();
}
} // namespace

emu::EmulatedLink &EmulatorHarness::install(ChipKind kind)
{
    auto link = std::make_unique<emu::EmulatedLink>(ModelOf(kind));
    m_link = link.get();
    if (kind == ChipKind::NoChip)
        m_link->setNoChip(true);
    ch341::installUsbLink(std::move(link));
    return *m_link;
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
    std::vector<uint8_t> &memory = m_link->chip().memory();
    memory.assign(contents.begin(), contents.end());
}

QByteArray EmulatorHarness::memory() const
{
    const std::vector<uint8_t> &memory = m_link->chip().memory();
    return QByteArray(reinterpret_cast<const char *>(memory.data()), int(memory.size()));
}

QList<QByteArray> EmulatorHarness::frames() const
{
    QList<QByteArray> result;
    for (const std::vector<uint8_t> &frame : m_link->chip().frames())
        result.append(QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size())));
    return result;
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

void UrlCatcher::open(const QUrl &url)
{
    m_opened->append(url);
}
