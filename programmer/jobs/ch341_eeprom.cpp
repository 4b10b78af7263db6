#include "programmer/jobs/ch341.h"

#include "programmer/chips/eeprom/eeprom24xx.h"
#include "programmer/chips/eeprom/eeprom25xx.h"
#include "programmer/chips/eeprom/eeprom93xx.h"
#include "programmer/jobs/tracelog.h"
#include "programmer/transport/bridgepins.h"
#include "bridge/ch341dll.h"
#include "bridge/ch341eeprom.h"

namespace {
QString BusText(EepromBus bus)
{
    switch (bus) {
    case EepromBus::I2c:
        return QStringLiteral("I2C (24xx EEPROM)");
    case EepromBus::Microwire:
        return QStringLiteral("Microwire (93xx EEPROM)");
    case EepromBus::Spi:
        break;
    }
    return QStringLiteral("SPI (25xx EEPROM)");
}

// How the job reaches the part: "SPI (25xx EEPROM), 2-Byte Addresses, 32-Byte Pages".
QString ReachText(const EepromPart &part)
{
    QStringList facts{BusText(part.bus)};
    if (part.bus == EepromBus::Microwire) {
        facts << QStringLiteral("%1 Address Bits (x%2)")
                     .arg(part.addressBits + (part.wordBits == 8 ? 1 : 0))
                     .arg(part.wordBits);
    } else {
        QString address = part.addressBytes == 0
                              ? QStringLiteral("7-Bit Address in the First Byte")
                              : QStringLiteral("%1-Byte Addresses").arg(part.addressBytes);
        if (part.a8InOpcode)
            address += QStringLiteral(" and A8 in the Opcode");
        if (part.blockBits > 0)
            address += QStringLiteral(" and %1 Block-Select Bit%2 in the Device Address")
                           .arg(part.blockBits)
                           .arg(part.blockBits == 1 ? "" : "s");
        facts << address << QStringLiteral("%1-Byte Pages").arg(part.page);
    }
    return facts.join(QLatin1String(", "));
}

// What a chosen part that answers nothing failed to do.
QString SilenceText(EepromBus bus)
{
    if (bus == EepromBus::Microwire)
        return QStringLiteral("The Chip Does Not Answer: No Dummy 0 Before the Data of a Read, "
                              "DO Stays High");
    if (bus == EepromBus::I2c)
        return QStringLiteral("The Chip Does Not Answer: No Acknowledge to Its I2C Device "
                              "Address");
    return QStringLiteral("The Chip Does Not Answer: Status Register 0xFF or 0x00, No Write "
                          "Enable Seen");
}

// The family the worker reports in ChipSeries for the kind.
QString SeriesOf(EepromBus bus)
{
    switch (bus) {
    case EepromBus::I2c:
        return QStringLiteral("24");
    case EepromBus::Microwire:
        return QStringLiteral("93");
    case EepromBus::Spi:
        break;
    }
    return QStringLiteral("95");
}

// Where the operator looks when a chosen part does not answer.
QString SocketAdvice(EepromBus bus)
{
    switch (bus) {
    case EepromBus::I2c:
        return QStringLiteral("Check the Chip Sits in the 24xx (I2C) Position of the Socket, Pin "
                              "1 as Marked, and the Adapter");
    case EepromBus::Microwire:
        return QStringLiteral("Check the Chip Sits in the 93xx Adapter in the 25xx Position of "
                              "the Socket, Pin 1 as Marked");
    case EepromBus::Spi:
        break;
    }
    return QStringLiteral("Check the Chip Sits in the 25xx (SPI) Position of the Socket, Pin 1 "
                          "as Marked, and the Adapter or Clip");
}
} // namespace

std::optional<EepromPart> CH341::ChosenEeprom(const QList<ChipRecord> &userRows) const
{
    if (PartName.isEmpty())
        return std::nullopt;
    int wordBits = 16;
    const QString bare = WithoutOrganisation(PartName, wordBits);
    for (const ChipRecord &row : KnownChips(userRows)) {
        if (IsPartNamed(row, PartName) && IsEepromRow(row))
            return EepromPartOf(row);
        // A 93xx part may carry its organisation: "M93C46-x8".
        if (bare != PartName && IsPartNamed(row, bare) && IsEepromRow(row) &&
            EepromPartOf(row).bus == EepromBus::Microwire)
            return InOrganisation(EepromPartOf(row), wordBits);
    }
    return std::nullopt;
}

std::unique_ptr<EepromUnit> CH341::EepromUnitFor(const EepromPart &part)
{
    switch (part.bus) {
    case EepromBus::Spi:
        return std::make_unique<Eeprom25xx>(m_bus, part, m_progress);
    case EepromBus::I2c:
        return std::make_unique<Eeprom24xx>(m_i2c, part, m_progress);
    case EepromBus::Microwire:
        return std::make_unique<Eeprom93xx>(m_wire, part, m_progress);
    }
    return nullptr;
}

bool CH341::BridgeReaches(const EepromPart &part)
{
    if (part.bus == EepromBus::Spi)
        return true;
    // The bridge says which buses its documented commands reach: nothing is guessed.
    const QString refusal = QString::fromUtf8(CH341GetBusRefusal(
        BridgePins::DEVICE, part.bus == EepromBus::I2c ? CH341_BUS_I2C : CH341_BUS_MICROWIRE));
    if (refusal.isEmpty())
        return true;
    m_log(refusal, "red");
    return false;
}

int CH341::ReachEeprom(const EepromPart &part)
{
    // An EEPROM has no identifier: the part named is the part used.
    m_log(QStringLiteral("Chosen Part no: "), "black", 1, false);
    m_log(part.name, "blue", 1, false);
    m_log(QStringLiteral(" Capacity (Byte): "), "black", 1, false);
    m_log(QString::number(part.size), "blue");
    m_log(QStringLiteral("Reached by: "), "black", 1, false);
    m_log(ReachText(part), "blue");
    if (!BridgeReaches(part))
        return -2;
    const std::unique_ptr<EepromUnit> eeprom = EepromUnitFor(part);
    if (!eeprom) {
        m_log(QStringLiteral("%1 Parts Are Not Reached by This Programmer Yet: Part %2 Not Used")
                  .arg(BusText(part.bus), part.name),
              "red");
        return -2;
    }
    switch (eeprom->presence()) {
    case EepromUnit::Presence::TransferFailed:
        m_log.transferFailure();
        return -1;
    case EepromUnit::Presence::Silent:
        m_log(SilenceText(part.bus), "red");
        m_log(SocketAdvice(part.bus), "red");
        return -2;
    case EepromUnit::Presence::Answers:
        break;
    }
    m_eeprom = part;
    ChipSize = part.size;
    ChipPage = QString::number(part.page);
    ChipSeries = SeriesOf(part.bus);
    return 1;
}

int CH341::ReadEeprom(const QVector<ChipSpan> &spans, QByteArray &result,
                      const QByteArray *expected)
{
    const int read = EepromUnitFor(*m_eeprom)->read(spans, result, expected);
    m_progress.reset();
    return read;
}

int CH341::CompareWithEeprom(const QVector<ChipSpan> &spans, const QByteArray &expected,
                             int &difference, uint8_t &chipByte)
{
    QByteArray chip;
    const int read = ReadEeprom(spans, chip, &expected);
    if (read != EepromUnit::Differs)
        return read;
    for (const ChipSpan &span : spans) {
        for (uint32_t address = span.start; address < span.start + span.length; ++address) {
            if (chip.at(int(address)) != expected.at(int(address))) {
                difference = int(address);
                chipByte = uint8_t(chip.at(int(address)));
                return 0;
            }
        }
    }
    return 0;
}

void CH341::WriteEepromPages(const QVector<ChipSpan> &pages, const QByteArray &wanted,
                             const QByteArray &image, const QString &rest)
{
    if (Interrupted(QStringLiteral("Before Writing"), QStringLiteral("the Chip Is Unchanged")) ||
        !MakeEepromWritable())
        return;
    m_log(QStringLiteral("Writing to Chip... "), "black", 1, false);
    const std::unique_ptr<EepromUnit> eeprom = EepromUnitFor(*m_eeprom);
    const int written = eeprom->write(pages, wanted, PageProgramTimeoutMs);
    qCDebug(varnockTrace) << "eeprom.write" << pages.size() << written;
    if (written == EepromUnit::Stopped)
        LogInterrupted(QStringLiteral("While Writing"),
                       WrittenState(eeprom->reached(), QStringLiteral("Were Written"), rest));
    else if (written != EepromUnit::Done)
        m_log.routineFailure(written);
    else
        ProveWritten(pages, wanted, image);
}

void CH341::EraseEeprom()
{
    if (Interrupted(QStringLiteral("Before Erasing"), QStringLiteral("the Chip Is Unchanged")) ||
        !MakeEepromWritable())
        return;
    m_log(QStringLiteral("Erasing Chip... "), "black", 1, false);
    const std::unique_ptr<EepromUnit> eeprom = EepromUnitFor(*m_eeprom);
    const QByteArray blank(int(ChipSize), char(0xFF));
    const QVector<ChipSpan> whole = {{0, ChipSize}};
    const int erased = eeprom->erase(PageProgramTimeoutMs);
    if (erased == EepromUnit::Stopped) {
        LogInterrupted(QStringLiteral("While Erasing"),
                       WrittenState(eeprom->reached(), QStringLiteral("Were Erased"),
                                    QStringLiteral("the Rest of the Chip Is Unchanged")));
        return;
    }
    if (erased != EepromUnit::Done) {
        m_log.routineFailure(erased);
        return;
    }
    int difference = 0;
    uint8_t chipByte = 0;
    const int compared = CompareWithEeprom(whole, blank, difference, chipByte);
    if (compared == 0)
        m_log(QStringLiteral("Erase Failed: Chip Not Blank at 0x%1")
                  .arg(JobLog::hexAddress(uint32_t(difference))),
              "red");
    else if (compared == EepromUnit::Stopped)
        LogInterrupted(QStringLiteral("While Checking the Erase"),
                       QStringLiteral("the Whole Chip Is Erased but Not All Read Back"));
    else if (compared != EepromUnit::Done)
        m_log.routineFailure(compared);
    else {
        m_log.ok();
        m_outcome = JobOutcome::Succeeded;
    }
}
