#include "ch341.h"

#include "spiopcodes.h"
#include "tracelog.h"

#include <algorithm>

namespace {
// An erase that a misjudged protection scheme refused shows at either end of
// the chip: the top and bottom blocks are what BP bits protect first.
constexpr uint32_t kBlankCheckBytes = 4096;
} // namespace

bool CH341::ReadAt(uint32_t address, int count, QByteArray &data)
{
    const bool fourByteAddress = NeedsFourByteAddress(ChipSize);
    if (fourByteAddress)
        EnterFourByteMode();
    ReadCommand(
        AddressedHeader(SpiOpcode::READ, DieAddress(address, fourByteAddress), fourByteAddress),
        count, data);
    LeaveAddressing(fourByteAddress);
    return !TransferFailed && data.size() == count;
}

QString CH341::AddressHex(uint32_t address)
{
    return QString::number(address, 16).toUpper().rightJustified(6, QLatin1Char('0'));
}

int CH341::CompareWithChip(const QByteArray &expected, int &difference, uint8_t &chipByte)
{
    return CompareWithChip({{0, uint32_t(expected.size())}}, expected, difference, chipByte);
}

int CH341::CompareWithChip(const QVector<ChipSpan> &spans, const QByteArray &expected,
                           int &difference, uint8_t &chipByte)
{
    QByteArray chipData;
    const int result = ReadFlashSpans(spans, ChunkSize(WholeChipChunkSpec(), 0), &chipData,
                                      &expected, ProgressEnd::Full);
    if (result != 0)
        return result;
    // The spans' bytes one after the other, up to the chunk that differs.
    int at = 0;
    for (const ChipSpan &span : spans) {
        const int length = qMin(int(span.length), chipData.size() - at);
        const char *chip = chipData.constData() + at;
        const char *wanted = expected.constData() + span.start;
        const int offset = int(std::mismatch(chip, chip + length, wanted).first - chip);
        if (offset < length) {
            difference = int(span.start) + offset;
            chipByte = uint8_t(chip[offset]);
            return 0;
        }
        at += length;
    }
    return 0;
}

bool CH341::RefuseNonBlankChip(BlankCheck blankCheck)
{
    int nonBlank = -1;
    const bool read = blankCheck == BlankCheck::WholeChip ? FindNonBlankInChip(nonBlank)
                                                          : FindNonBlankAtEnds(nonBlank);
    if (!read) {
        LogTransferFailure();
        return true;
    }
    if (nonBlank < 0)
        return false;
    Log(QStringLiteral("Erase Failed: Chip Not Blank at 0x%1").arg(AddressHex(uint32_t(nonBlank))),
        "red");
    return true;
}

bool CH341::FindNonBlankAtEnds(int &address)
{
    const uint32_t span = qMin(kBlankCheckBytes, ChipSize);
    for (const uint32_t start : {0u, ChipSize - span}) {
        QByteArray data;
        if (!ReadAt(start, int(span), data))
            return false;
        const auto found =
            std::find_if(data.cbegin(), data.cend(), [](char byte) { return byte != char(0xFF); });
        if (found != data.cend()) {
            address = int(start) + int(found - data.cbegin());
            return true;
        }
    }
    return true;
}

bool CH341::FindNonBlankInChip(int &address)
{
    uint8_t chipByte = 0;
    const int compared = CompareWithChip(QByteArray(int(ChipSize), char(0xFF)), address, chipByte);
    if (compared == 1)
        address = -1;
    return compared >= 0;
}

void CH341::DoEraseFlash()
{
    qCDebug(varnockTrace) << "CH341::DoEraseFlash";
    const int initialized = InitializeProgrammer();
    qCDebug(varnockTrace) << initialized;
    if (initialized != 1) {
        LogInitializeFailure();
        emit JobDone();
        return;
    }
    // "OK" only once every byte of the chip has been read back as 0xFF.
    if (!EraseWholeChip(true, BlankCheck::WholeChip)) {
        EndJob();
        return;
    }
    WriteDisable();
    if (SendQueuedCommands())
        m_outcome = JobOutcome::Succeeded;
    else
        LogTransferFailure();
    EndJob();
}

void CH341::DoVerifyFlash()
{
    QByteArray image;
    if (!StartImageJob(image, EmptyImage::Allowed))
        return;
    Log(QStringLiteral("Reading from Chip... "), "black", 1, false);
    QByteArray chipData;
    // The verdict is known at the first chunk that differs: reading on would
    // only keep the operator waiting.
    const int readResult =
        TransferFailed ? -1
                       : ReadFlashChunks(image.size(), WholeChipChunkSpec(), &chipData, &image);
    if (readResult < 0) {
        LogRoutineFailure(readResult);
        EndJob();
        return;
    }
    LogOk();
    if (readResult == 0 || image != chipData) {
        Log(QStringLiteral("No Match Found!"), "red");
        // The chip's data ends with the first chunk that differs.
        const auto first =
            std::mismatch(chipData.cbegin(), chipData.cend(), image.cbegin(), image.cend());
        if (first.first != chipData.cend() && first.second != image.cend())
            Log(QStringLiteral("First Difference at 0x%1: Chip 0x%2, File 0x%3")
                    .arg(AddressHex(uint32_t(first.first - chipData.cbegin())),
                         StatusHex(uint8_t(*first.first)), StatusHex(uint8_t(*first.second))),
                "red");
    } else {
        Log(QStringLiteral("Match Found!"), "green");
        LogChecksums(image);
        m_outcome = JobOutcome::Succeeded;
        emit UpdateHexView(chipData);
    }
    EndJob();
}
