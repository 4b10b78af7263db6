#include "programmer/jobs/ch341.h"

#include "programmer/identify/chiplists.h"
#include "programmer/chips/nor/chipreader.h"
#include "programmer/identify/registerreport.h"
#include "programmer/transport/bridgepins.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/jobs/tracelog.h"
#include "bridge/ch341bridges.h"
#include "bridge/ch341diag.h"
#include "bridge/ch341dll.h"

#include <QMetaMethod>

namespace {
constexpr uint32_t kStreamModeMsbFirst = 0x80;
constexpr uint32_t kSettleDelayMs = 50;
// The clocks the automatic choice tries, fastest first: 60 MHz / 2^divisor, in kHz rounded up
// so that each names its own divisor.
constexpr uint32_t kAutoClocksKHz[] = {60000, 30000, 15000, 7500, 3750, 1875, 938, 469};
// What each clock must read alike twice: the chip's first 64 KiB.
constexpr uint32_t kClockProbeBytes = 65536;
constexpr uint32_t kWakeDelayMs = 2;

QString VariantName(uint32_t versionCode)
{
    switch (versionCode) {
    case 0x10:
        return QStringLiteral("CH341");
    case 0x20:
        return QStringLiteral("CH341A");
    case 0x30:
        return QStringLiteral("CH341A3");
    case 0x32:
        return QStringLiteral("CH341B");
    default:
        return QStringLiteral("UNKNOWN");
    }
}
} // namespace

CH341::CH341(bool flag, QObject *parent)
    : QObject(parent)
    , Flag(flag)
    // The slowest page program in the chip list's datasheets takes 5 ms at most, a status
    // write 2 s (Spansion S25FL-S); the margins cover a host that is slow to poll.
    , PageProgramTimeoutMs(100)
    , StatusWriteTimeoutMs(3000)
{
}

uint32_t CH341::StreamMode() const
{
    return kStreamModeMsbFirst | I2cTransport::speedCode(I2cSpeedKHz);
}

bool CH341::SelectChip()
{
    return m_bus.select();
}

bool CH341::DeselectChip()
{
    return m_bus.deselect();
}

qint64 CH341::SpiSend(int deselect, unsigned int length, QByteArray frame)
{
    const int count = int(qMin(length, static_cast<unsigned int>(frame.size())));
    return m_bus.send(frame.left(count), deselect != 1);
}

void CH341::SpiReceive(int count, QByteArray &answer)
{
    m_bus.receive(count, answer);
}

void CH341::ConfigureProgrammer()
{
    if (TransferFailed)
        return;
    m_bus.setStreamMode(StreamMode());
    // Each delay first sends what is queued: a failure there is a failed transfer.
    m_bus.delayMs(kSettleDelayMs);
    SpiSend(1, 1, QByteArray(1, char(SpiOpcode::RES)));
    if (!TransferFailed)
        m_bus.delayMs(kWakeDelayMs);
}

int CH341::ConnectProgrammer()
{
    m_log(QStringLiteral("Connecting to Programmer... "), "black", 1, false);
    DeviceHandle = CH341OpenDevice(BridgePins::DEVICE);
    if (DeviceHandle == nullptr || DeviceHandle == CH341_INVALID_HANDLE) {
        m_log(QStringLiteral("Fail!"), "red");
        // The bridge knows why (missing, wrong mode, no permission, busy); the operator needs
        // that to fix it.
        const QString reason = QString::fromUtf8(CH341GetLastErrorText(BridgePins::DEVICE));
        if (!reason.isEmpty())
            m_log(reason, "red");
        CH341CloseDevice(BridgePins::DEVICE);
        return -1;
    }
    m_log.ok();

    const uint32_t versionCode = CH341GetVerIC(BridgePins::DEVICE);
    // A CH347 answers no version request: its package (CH347T, CH347F) is its variant.
    const QString model = QString::fromUtf8(CH341GetBridgeModel(BridgePins::DEVICE));
    const bool ch347 = model.startsWith(QLatin1String("CH347"));
    ProgModel = ch347 ? model : VariantName(versionCode);
    qCDebug(varnockTrace) << "chipver" << versionCode;

    const QString deviceName = QString::fromUtf8(CH341GetDeviceName(BridgePins::DEVICE));
    qCDebug(varnockTrace) << deviceName;
    m_log(deviceName, "gray", 1, true, true);
    // Which clock a CH347 runs at, or why a chosen one does not apply to a CH341A.
    const QString clock = QString::fromUtf8(CH341GetSpiClockText(BridgePins::DEVICE));
    if (!clock.isEmpty())
        m_log(clock, "gray");

    m_log(ch347 ? QStringLiteral("CH347 variant: ") : QStringLiteral("CH341 variant: "), "black",
          1, false);
    m_log(ProgModel, "blue");

    m_log(QStringLiteral("Setting Programmer... "), "black", 1, false);
    ConfigureProgrammer();
    if (TransferFailed) {
        m_log.transferFailure();
        CH341CloseDevice(BridgePins::DEVICE);
        return -1;
    }
    m_log.ok();
    return 1;
}

int CH341::InitializeProgrammer()
{
    // A fault in a user's chip list ends the job before the programmer is opened.
    QList<ChipRecord> userRows;
    QString chipListFault;
    if (!ReadUserChipLists(userRows, chipListFault)) {
        m_log(chipListFault, "red");
        return -2;
    }
    const int connected = ConnectProgrammer();
    if (connected != 1)
        return connected;
    if (const std::optional<EepromPart> eeprom = ChosenEeprom(userRows)) {
        const int reached = ReachEeprom(*eeprom);
        if (reached != 1)
            CH341CloseDevice(BridgePins::DEVICE);
        return reached;
    }
    ChipIdentification::Questions questions;
    questions.part = [this](const QStringList &parts) {
        m_answers.forgetPart();
        if (!isSignalConnected(QMetaMethod::fromSignal(&CH341::PartChoice_Question)))
            return QString();
        emit PartChoice_Question(parts);
        // The worker thread sleeps while the operator looks at the chip.
        return m_answers.waitForPart();
    };
    questions.unknownChip = [this](const QString &jedecId, qulonglong size, QString &keepAs) {
        const bool yes = AskOperator(QMetaMethod::fromSignal(&CH341::UnknownChip_Question),
                                     [&] { emit UnknownChip_Question(jedecId, size); });
        if (yes && !m_answers.keepAs().isEmpty())
            keepAs = m_answers.keepAs();
        return yes;
    };
    // The command line asks none of these: --force-part answers them.
    if (isSignalConnected(QMetaMethod::fromSignal(&CH341::PartId_Question)))
        questions.otherId = [this](const QString &part, const QString &partId,
                                   const QString &chipId) {
            return AskOperator(QMetaMethod::fromSignal(&CH341::PartId_Question),
                               [&] { emit PartId_Question(part, partId, chipId); });
        };
    if (isSignalConnected(QMetaMethod::fromSignal(&CH341::RowAgainstSfdp_Question)))
        questions.rowAgainstSfdp = [this](const QString &part, const QString &origin,
                                          const QString &rowGives, const QString &sfdpGives) {
            return AskOperator(QMetaMethod::fromSignal(&CH341::RowAgainstSfdp_Question), [&] {
                emit RowAgainstSfdp_Question(part, origin, rowGives, sfdpGives);
            });
        };
    ChipIdentification identification(m_chip, m_log, questions);
    identification.useUserRows(userRows);
    identification.choosePart(PartName, ForcePart);
    identification.rememberAs(RememberPart);
    const int identified = identification.identify();
    if (identified != 1) {
        CH341CloseDevice(BridgePins::DEVICE);
        return identified;
    }
    ChipSize = m_chip.size();
    ChipPage = m_chip.page();
    ChipSeries = m_chip.series();
    if (AutoSpiClock && !SettleSpiClock()) {
        CH341CloseDevice(BridgePins::DEVICE);
        return -2;
    }
    return 1;
}

bool CH341::SettleSpiClock()
{
    // A CH341A's clock is fixed: its line after the connection says so.
    if (m_bus.clockKHz() == 0)
        return true;
    m_log(QStringLiteral("Finding a Reliable SPI Clock... "), "black", 1, false);
    FlashIDs identified;
    ReadChipIDs(identified);
    const QVector<ChipSpan> probe = {{0, qMin(kClockProbeBytes, ChipSize)}};
    ChipReader reader(m_chip, m_progress, ChipReader::ProgressEnd::Reset);
    for (const uint32_t kHz : kAutoClocksKHz) {
        CH341SetSpiClock(BridgePins::DEVICE, kHz);
        m_bus.setStreamMode(StreamMode());
        FlashIDs ids;
        ReadChipIDs(ids);
        QByteArray first;
        QByteArray second;
        const bool read = reader.read(probe, reader.wholeChipChunk(), first) == 1 &&
                          reader.read(probe, reader.wholeChipChunk(), second) == 1;
        if (TransferFailed) {
            m_log.transferFailure();
            return false;
        }
        if (read && first == second && ids.ID9FH == identified.ID9FH &&
            ids.ID90H == identified.ID90H) {
            m_log(QStringLiteral("%1 MHz").arg(m_bus.clockKHz() / 1000.0), "blue");
            return true;
        }
    }
    m_log(QStringLiteral("None"), "red");
    m_log(QStringLiteral("No SPI Clock Reads the Chip Alike Twice"), "red");
    m_log.wiringAdvice();
    return false;
}

int CH341::ReadChipIDs(FlashIDs &ids)
{
    ChipIdentification(m_chip, m_log, {}).readIds(ids);
    return 1;
}

int CH341::ReleaseAndClose()
{
    if (CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::ALL_INPUTS, BridgePins::ALL_INPUTS) == 0)
        return -1;
    // Closing sends the release; the routines have sent every chip command before they
    // reported, so losing only the release loses nothing.
    CH341CloseDevice(BridgePins::DEVICE);
    return 1;
}

void CH341::EndJob()
{
    ReleaseAndClose();
    emit JobDone();
}

bool CH341::AskOperator(const QMetaMethod &question, const std::function<void()> &ask)
{
    if (!isSignalConnected(question))
        return false;
    ask();
    // The worker thread sleeps while the operator thinks.
    const bool yes = m_answers.waitForYes();
    if (!yes)
        m_outcome = JobOutcome::Declined;
    return yes;
}

void CH341::AnswerClearProtection(bool clear)
{
    m_answers.answer(clear);
}

void CH341::AnswerUnknownChip(bool use, const QString &keepAs)
{
    m_answers.answer(use, keepAs);
}

void CH341::AnswerPartChoice(const QString &part)
{
    m_answers.answer(part);
}

void CH341::DoReadID()
{
    if (InitializeProgrammer() != 1) {
        m_log.initializeFailure();
        emit JobDone();
        return;
    }
    FlashIDs ids;
    ReadChipIDs(ids);
    qCDebug(varnockTrace) << ids.ID9FH.toHex();
    if (TransferFailed || !LogChipRegisters(m_chip, m_log))
        m_log.transferFailure();
    else
        m_outcome = JobOutcome::Succeeded;
    EndJob();
}
