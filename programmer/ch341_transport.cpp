#include "ch341.h"

#include "spiopcodes.h"
#include "tracelog.h"
#include "bridge/ch341bridges.h"
#include "bridge/ch341diag.h"
#include "bridge/ch341dll.h"
#include "bridge/ch341queue.h"

namespace {
constexpr uint32_t kNoHardwareChipSelect = 0;
constexpr uint32_t kStreamModeMsbFirst = 0x81;
constexpr uint32_t kSettleDelayMs = 50;
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
    // The slowest page program in the chip list's datasheets takes 5 ms at
    // most, a status write 2 s (Spansion S25FL-S); the margins cover a host
    // that is slow to poll.
    , PageProgramTimeoutMs(100)
    , StatusWriteTimeoutMs(3000)
{
}

bool CH341::BridgeCall(bool succeeded)
{
    if (!succeeded)
        TransferFailed = true;
    return succeeded;
}

// After a failed transfer the chip may have missed part of what was sent, so
// nothing more goes to it: every call below refuses once TransferFailed is set.
bool CH341::SelectChip()
{
    return !TransferFailed &&
           BridgeCall(CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::SPI_OUTPUTS,
                                     BridgePins::SELECT_LEVELS) != 0);
}

bool CH341::DeselectChip()
{
    return !TransferFailed &&
           BridgeCall(CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::SPI_OUTPUTS,
                                     BridgePins::DESELECT_LEVELS) != 0);
}

qint64 CH341::SpiSend(int deselect, unsigned int length, QByteArray frame)
{
    if (!SelectChip())
        return -1;
    const unsigned int count = qMin(length, static_cast<unsigned int>(frame.size()));
    // Nobody reads what the chip answers to a send: the library queues it in
    // front of the next blocking exchange, which carries any failure.
    if (!BridgeCall(CH341QueueStreamSPI4(BridgePins::DEVICE, kNoHardwareChipSelect, count,
                                         frame.constData()) != 0))
        return -2;
    if (deselect == 1)
        DeselectChip();
    return count;
}

void CH341::PauseOnBridge(uint32_t microseconds)
{
    if (!TransferFailed)
        BridgeCall(CH341QueueDelayUs(BridgePins::DEVICE, microseconds) != 0);
}

bool CH341::SendQueuedCommands()
{
    return !TransferFailed && BridgeCall(CH341FlushQueue(BridgePins::DEVICE) != 0);
}

void CH341::SpiReceive(int count, QByteArray &answer)
{
    if (!SelectChip())
        return;
    QByteArray incoming(qMax(count, 0), char(0xFF));
    if (!BridgeCall(CH341StreamSPI4(BridgePins::DEVICE, kNoHardwareChipSelect,
                                    static_cast<uint32_t>(incoming.size()), incoming.data()) != 0))
        return;
    answer = incoming;
    DeselectChip();
}

void CH341::ConfigureProgrammer()
{
    if (TransferFailed)
        return;
    BridgeCall(CH341SetStream(BridgePins::DEVICE, kStreamModeMsbFirst) != 0);
    // Each delay first sends what is queued: a failure there is a failed transfer.
    BridgeCall(CH341SetDelaymS(BridgePins::DEVICE, kSettleDelayMs) != 0);
    SpiSend(1, 1, QByteArray(1, char(SpiOpcode::RES)));
    if (!TransferFailed)
        BridgeCall(CH341SetDelaymS(BridgePins::DEVICE, kWakeDelayMs) != 0);
}

int CH341::ConnectProgrammer()
{
    Log(QStringLiteral("Connecting to Programmer... "), "black", 1, false);
    DeviceHandle = CH341OpenDevice(BridgePins::DEVICE);
    if (DeviceHandle == nullptr || DeviceHandle == CH341_INVALID_HANDLE) {
        Log(QStringLiteral("Fail!"), "red");
        // The bridge knows why (missing, wrong mode, no permission, busy);
        // the operator needs that to fix it.
        const QString reason = QString::fromUtf8(CH341GetLastErrorText(BridgePins::DEVICE));
        if (!reason.isEmpty())
            Log(reason, "red");
        CH341CloseDevice(BridgePins::DEVICE);
        return -1;
    }
    LogOk();

    const uint32_t versionCode = CH341GetVerIC(BridgePins::DEVICE);
    ProgModel = VariantName(versionCode);
    qCDebug(varnockTrace) << "chipver" << versionCode;

    const QString deviceName = QString::fromUtf8(CH341GetDeviceName(BridgePins::DEVICE));
    qCDebug(varnockTrace) << deviceName;
    Log(deviceName, "gray", 1, true, true);
    // Which clock a CH347 runs at, or why a chosen one does not apply to a CH341A.
    const QString clock = QString::fromUtf8(CH341GetSpiClockText(BridgePins::DEVICE));
    if (!clock.isEmpty())
        Log(clock, "gray");

    Log(QStringLiteral("CH341 variant: "), "black", 1, false);
    Log(ProgModel, "blue");

    Log(QStringLiteral("Setting Programmer... "), "black", 1, false);
    ConfigureProgrammer();
    if (TransferFailed) {
        LogTransferFailure();
        CH341CloseDevice(BridgePins::DEVICE);
        return -1;
    }
    LogOk();
    return 1;
}

int CH341::InitializeProgrammer()
{
    const int connected = ConnectProgrammer();
    if (connected != 1)
        return connected;
    return IdentifyChip();
}

int CH341::ReleaseAndClose()
{
    if (CH341Set_D5_D0(BridgePins::DEVICE, BridgePins::ALL_INPUTS, BridgePins::ALL_INPUTS) == 0)
        return -1;
    // Closing sends the release; the routines have sent every chip command
    // before they reported, so losing only the release loses nothing.
    CH341CloseDevice(BridgePins::DEVICE);
    return 1;
}

void CH341::Log(const QString &message, const char *colour, int weight, bool newLine, bool italic)
{
    emit UpdateLogWindow_Text(message, QColor(colour), weight, italic, false, newLine);
}

void CH341::LogOk()
{
    Log(QStringLiteral("OK"), "blue", 4);
}

void CH341::LogInitializeFailure()
{
    Log(QStringLiteral("Failed to Initialize CH341 Programmer."), "red");
}

void CH341::LogTransferFailure()
{
    Log(QStringLiteral("Programmer Transfer Failed!"), "red");
}

void CH341::LogTimeout()
{
    Log(QStringLiteral("Operation Timed Out: Chip Still Busy!"), "red");
}

void CH341::EndJob()
{
    ReleaseAndClose();
    emit JobDone();
}
