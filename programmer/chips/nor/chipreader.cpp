#include "programmer/chips/nor/chipreader.h"

#include "programmer/chips/chipprogress.h"
#include "programmer/chips/nor/flashchip.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/transport/spitransport.h"

#include <QScopeGuard>

#include <algorithm>
#include <cstring>

namespace {
// An erase that a misjudged protection scheme refused shows at either end of the chip: the top
// and bottom blocks are what BP bits protect first.
constexpr uint32_t kBlankCheckBytes = 4096;
} // namespace

ChipReader::ChipReader(FlashChip &chip, ChipProgress &progress, ProgressEnd progressEnd)
    : m_chip(chip)
    , m_progress(progress)
    , m_progressEnd(progressEnd)
{
}

int ChipReader::read(const QVector<ChipSpan> &spans, int chunk, QByteArray &result,
                     const QByteArray *expected)
{
    qulonglong total = 0;
    uint32_t end = 0;
    for (const ChipSpan &span : spans) {
        total += span.length;
        end = qMax(end, span.start + span.length);
    }
    const bool fourByteAddress = m_chip.needsFourByteAddress(end);

    if (fourByteAddress)
        m_chip.enterFourByteMode();
    // A chip left in 4-byte mode misreads the next job's addresses.
    auto leave = qScopeGuard([this, fourByteAddress] { m_chip.leaveAddressing(fourByteAddress); });
    m_progress.started(ChipActivity::Read, total);

    qulonglong done = 0;
    bool differs = false;
    bool stopped = false;
    QByteArray answer;
    for (const ChipSpan &span : spans) {
        for (uint32_t offset = 0; offset < span.length && !m_chip.failed() && !differs;) {
            stopped = m_progress.stopRequested();
            if (stopped)
                break;
            const int count = int(qMin(uint32_t(chunk), span.length - offset));
            const uint32_t address = span.start + offset;
            const QByteArray header = m_chip.addressedHeader(
                SpiOpcode::READ, m_chip.dieAddress(address, fourByteAddress), fourByteAddress);
            if (!m_chip.readCommand(header, count, answer))
                break;
            result.append(answer.constData(), count);
            differs = expected != nullptr &&
                      std::memcmp(answer.constData(), expected->constData() + address,
                                  size_t(count)) != 0;
            offset += uint32_t(count);
            done += uint32_t(count);
            m_progress.advanced(ChipActivity::Read, done, total);
        }
        if (m_chip.failed() || differs || stopped)
            break;
    }
    if (m_progressEnd == ProgressEnd::Reset)
        m_progress.reset();
    if (m_chip.failed())
        return -1;
    leave.dismiss();
    m_chip.leaveAddressing(fourByteAddress);
    if (!m_chip.bus().flush())
        return -1;
    return stopped ? kStopped : differs ? 0 : 1;
}

int ChipReader::compare(const QVector<ChipSpan> &spans, const QByteArray &expected,
                        int &difference, uint8_t &chipByte)
{
    QByteArray chipData;
    const int result = read(spans, wholeChipChunk(), chipData, &expected);
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

int ChipReader::wholeChipChunk() const
{
    return m_chip.bus().readChunk();
}

bool ChipReader::readAt(uint32_t address, int count, QByteArray &data)
{
    const bool fourByteAddress = m_chip.needsFourByteAddress(m_chip.size());
    if (fourByteAddress)
        m_chip.enterFourByteMode();
    m_chip.readCommand(m_chip.addressedHeader(SpiOpcode::READ,
                                              m_chip.dieAddress(address, fourByteAddress),
                                              fourByteAddress),
                       count, data);
    m_chip.leaveAddressing(fourByteAddress);
    return !m_chip.failed() && data.size() == count;
}

bool ChipReader::findNonBlank(BlankCheck check, int &address)
{
    return check == BlankCheck::WholeChip ? findNonBlankInChip(address)
                                          : findNonBlankAtEnds(address);
}

bool ChipReader::findNonBlankAtEnds(int &address)
{
    address = -1;
    const uint32_t span = qMin(kBlankCheckBytes, m_chip.size());
    for (const uint32_t start : {0u, m_chip.size() - span}) {
        QByteArray data;
        if (!readAt(start, int(span), data))
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

bool ChipReader::findNonBlankInChip(int &address)
{
    uint8_t chipByte = 0;
    const int compared = compare({{0, m_chip.size()}}, QByteArray(int(m_chip.size()), char(0xFF)),
                                 address, chipByte);
    if (compared == 1)
        address = -1;
    return compared >= 0;
}
