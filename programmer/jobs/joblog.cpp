#include "programmer/jobs/joblog.h"

#include "programmer/jobs/ch341.h"
#include "programmer/jobs/checksums.h"
#include "programmer/chips/nor/pageprogrammer.h"
#include "programmer/chips/nor/spiopcodes.h"
#include "programmer/jobs/readcompare.h"

#include <QColor>

JobLog::JobLog(CH341 &worker)
    : m_worker(worker)
{
}

void JobLog::operator()(const QString &message, const char *colour, int weight, bool newLine,
                        bool italic)
{
    emit m_worker.UpdateLogWindow_Text(message, QColor(colour), weight, italic, false, newLine);
}

void JobLog::ok()
{
    (*this)(QStringLiteral("OK"), "blue", 4);
}

void JobLog::initializeFailure()
{
    (*this)(QStringLiteral("Failed to Initialize CH341 Programmer."), "red");
}

void JobLog::transferFailure()
{
    (*this)(QStringLiteral("Programmer Transfer Failed!"), "red");
}

void JobLog::timeout()
{
    (*this)(QStringLiteral("Operation Timed Out: Chip Still Busy!"), "red");
}

void JobLog::unsupportedPage(const QString &page)
{
    (*this)(QStringLiteral("Unsupported Page Size in Chip List: \"%1\"").arg(page), "red");
}

void JobLog::routineFailure(int result)
{
    if (result == -1)
        transferFailure();
    else if (result == -3)
        timeout();
}

namespace {
// " (Flag Status Register 0x92: Program Error, Protection Error)"; empty without flags.
QString FlagsText(uint8_t flags)
{
    if ((flags & FlagStatus::ERRORS) == 0)
        return QString();
    QStringList errors;
    if (flags & FlagStatus::ERASE_ERROR)
        errors << QStringLiteral("Erase Error");
    if (flags & FlagStatus::PROGRAM_ERROR)
        errors << QStringLiteral("Program Error");
    if (flags & FlagStatus::PROTECTION_ERROR)
        errors << QStringLiteral("Protection Error");
    return QStringLiteral(" (Flag Status Register 0x%1: %2)")
        .arg(JobLog::hexByte(flags), errors.join(QLatin1String(", ")));
}
} // namespace

void JobLog::programmingFault(const PageProgrammer &programmer)
{
    const QString address = hexAddress(programmer.faultAddress());
    if (programmer.fault() == PageProgrammer::Fault::ProgramError)
        (*this)(QStringLiteral("Program Error at 0x%1").arg(address) +
                    FlagsText(programmer.faultFlags()),
                "red");
    else if (programmer.fault() == PageProgrammer::Fault::LeftAaiMode)
        (*this)(QStringLiteral("Programming Failed: Chip Left AAI Mode before 0x%1").arg(address),
                "red");
}

void JobLog::eraseFailure(ChipEraser::Result result, const ChipEraser &eraser)
{
    switch (result) {
    case ChipEraser::Result::TransferFailed:
        transferFailure();
        break;
    case ChipEraser::Result::TimedOut:
        timeout();
        break;
    case ChipEraser::Result::ChipError:
        (*this)(QStringLiteral("Erase Error at 0x%1").arg(hexAddress(eraser.errorAddress())) +
                    FlagsText(eraser.errorFlags()),
                "red");
        break;
    case ChipEraser::Result::SectorEraseIgnored:
        (*this)(QStringLiteral("4 KiB Erase Not Taken: the Whole Chip Instead"), "black");
        break;
    case ChipEraser::Result::Done:
    case ChipEraser::Result::Stopped: // the job says what the stop left
        break;
    }
}

QString JobLog::hexByte(uint8_t value)
{
    return QString::number(value, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

QString JobLog::hexAddress(uint32_t address)
{
    return QString::number(address, 16).toUpper().rightJustified(6, QLatin1Char('0'));
}

JobProgress::JobProgress(CH341 &worker)
    : m_worker(worker)
{
}

void JobProgress::started(ChipActivity activity, qulonglong total)
{
    if (activity == ChipActivity::Read) {
        emit m_worker.UpdateProgreesBar_Value(0);
        emit m_worker.SetProgreesBar_MaxValue(total);
    } else {
        emit m_worker.SetProgreesBar_MaxValue(total);
        emit m_worker.UpdateProgreesBar_Value(0);
    }
}

void JobProgress::advanced(ChipActivity activity, qulonglong done, qulonglong total)
{
    switch (activity) {
    case ChipActivity::Read:
        emit m_worker.Set_Label_Status_TEXT(QStringLiteral("Read [%1:%2]").arg(done).arg(total));
        break;
    case ChipActivity::Write:
        emit m_worker.Set_Label_Status_TEXT(
            QStringLiteral("Write [%1 / %2]").arg(done).arg(total));
        break;
    case ChipActivity::Erase:
        emit m_worker.Set_Label_Status_TEXT(
            QStringLiteral("Erase [%1 / %2]").arg(done).arg(total));
        break;
    }
    emit m_worker.UpdateProgreesBar_Value(done);
}

void JobProgress::reset()
{
    emit m_worker.UpdateProgreesBar_Value(0);
}

// A whole-chip erase announces itself in the log once its first command is out, so that a
// programmer lost on that command shows as a failed erase.
void JobProgress::eraseSent()
{
    JobLog log(m_worker);
    log(QStringLiteral("Erasing Chip... "), "black", 1, false);
}

bool JobProgress::stopRequested() const
{
    return m_worker.StopRequested();
}

void JobProgress::erasePolled()
{
    emit m_worker.Set_Label_Status_TEXT(QStringLiteral("Chip Erasing in Progress."));
}

void JobLog::smallerImage(int imageSize, uint32_t chipSize, const QString &rest)
{
    if (uint32_t(imageSize) >= chipSize)
        return;
    (*this)(QStringLiteral("The File Is Smaller than the Chip (%1 of %2 Bytes): %3")
                .arg(imageSize)
                .arg(chipSize)
                .arg(rest),
            "black");
}

void JobLog::readsDiffer(const ReadDifference &difference, const QString &nothingDone)
{
    (*this)(QStringLiteral("The Two Reads Differ in %1 %2: %3")
                .arg(difference.bytes)
                .arg(difference.bytes == 1 ? QStringLiteral("Byte") : QStringLiteral("Bytes"),
                     nothingDone),
            "red");
    QStringList ranges;
    for (const ChipSpan &range : difference.firstRanges) {
        const QString first = QStringLiteral("0x") + hexAddress(range.start);
        ranges << (range.length == 1 ? first
                                     : first + QStringLiteral("-0x") +
                                           hexAddress(range.start + range.length - 1));
    }
    (*this)(QStringLiteral("First Differing Ranges: ") + ranges.join(QStringLiteral(", ")), "red");
    wiringAdvice();
}

void JobLog::wiringAdvice()
{
    (*this)(QStringLiteral("Check the Clip's Contact, Keep the Wires Short and Read with the "
                           "Board Powered Off"),
            "red");
}

void JobLog::lowerClockHint(uint32_t kHz)
{
    constexpr uint32_t kFastClockKHz = 30000;
    if (kHz >= kFastClockKHz)
        (*this)(QStringLiteral("At %1 MHz the Wires May Not Carry the Clock: Try 15 MHz or Auto")
                    .arg(kHz / 1000),
                "red");
}

void JobLog::checksums(const QByteArray &bytes)
{
    (*this)(QStringLiteral("CRC-32: "), "black", 1, false);
    (*this)(Crc32Hex(bytes), "blue", 1, false);
    (*this)(QStringLiteral(" SHA-256: "), "black", 1, false);
    (*this)(Sha256Hex(bytes), "blue");
}
