#include "ch341.h"

#include "spiopcodes.h"

#include <QScopeGuard>

namespace {
// Status texts and progress values, as for page programming; a status read
// per step also proves the chip still in AAI mode.
constexpr int kProgressStep = 256;
// TBP, the longest an AAI step takes: 10 us on the word-AAI parts
// (SST25VF016B), 20 us on the older byte-AAI parts (SST25VF040; check the
// datasheet of each part).
constexpr uint32_t kWordStepPauseUs = 10;
constexpr uint32_t kByteStepPauseUs = 20;
} // namespace

// SST25VF parts program one byte per 0x02 command. Auto-address-increment
// programming sends the address once: write enable, then "0xAD, address, two
// bytes" (word AAI, "SSTW") or "0xAF, address, one byte" (byte AAI,
// "SSTB"), then only the opcode and the next bytes, each command after the
// one before has finished; write disable ends AAI mode. The bridge itself
// waits out each step, so hundreds of steps ride in one USB exchange.
int CH341::WriteFlashDataAai(const QString &chunkSpec, const QByteArray &data, uint32_t base)
{
    const bool word = chunkSpec == QLatin1String("SSTW");
    const int width = word ? 2 : 1;
    const uint8_t opcode = word ? SpiOpcode::AAI_WORD : SpiOpcode::AAI_BYTE;
    const uint32_t stepPauseUs = word ? kWordStepPauseUs : kByteStepPauseUs;
    const int length = data.size();
    // 0xFF programs nothing: it pads an odd image to whole words.
    QByteArray image = data;
    if (image.size() % width != 0)
        image.append(char(0xFF));

    emit SetProgreesBar_MaxValue(static_cast<qulonglong>(length));
    emit UpdateProgreesBar_Value(0);
    if (image.isEmpty()) {
        WriteDisable();
        return TransferFailed ? -1 : 1;
    }
    WriteEnable();
    // In AAI mode the chip accepts nothing but AAI, status reads and write
    // disable: leave it however the run ends.
    auto leave = qScopeGuard([this] {
        // A select window cut short by a lost transfer must end first.
        DeselectChip();
        WriteDisable();
    });
    for (int offset = 0; offset < image.size(); offset += width) {
        QByteArray frame =
            offset == 0 ? AddressedHeader(opcode, base, false) : QByteArray(1, char(opcode));
        frame.append(image.constData() + offset, width);
        SpiSend(1, static_cast<unsigned int>(frame.size()), frame);
        // The chip ignores a command that comes before the last has finished.
        PauseOnBridge(stepPauseUs);
        const int done = qMin(offset + width, length);
        if (done % kProgressStep == 0 || done == length) {
            const WaitResult wait = WaitWhileProgramming(PageProgramTimeoutMs);
            if (wait == WaitResult::TimedOut)
                return -3;
            if (wait == WaitResult::TransferFailed)
                return -1;
            // Out of AAI mode (refused at the start, or a step lost), every
            // later step would be ignored.
            if ((m_lastStatus & SpiStatus::SST_AAI) == 0) {
                Log(QStringLiteral("Programming Failed: Chip Left AAI Mode before 0x%1")
                        .arg(AddressHex(base + uint32_t(done))),
                    "red");
                return -2;
            }
            emit Set_Label_Status_TEXT(QStringLiteral("Write [%1 / %2]").arg(done).arg(length));
            emit UpdateProgreesBar_Value(static_cast<qulonglong>(done));
        }
    }
    leave.dismiss();
    WriteDisable();
    uint8_t status = 0;
    if (!ReadStatus(status) || (status & SpiStatus::SST_AAI) != 0)
        return -1;
    return 1;
}
