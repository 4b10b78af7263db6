#pragma once

// JobLog and JobProgress: how a job's steps reach the operator, as the worker's log records,
// progress values and status texts (every text the jobs show is here or in the jobs
// themselves). Worker thread; the signals cross to the window as queued calls.

#include "programmer/chips/nor/chiperaser.h"
#include "programmer/chips/chipprogress.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class CH341;
class PageProgrammer;
struct ReadDifference;

class JobLog
{
public:
    explicit JobLog(CH341 &worker);

    // One record: colour by SVG name, weight 1 ordinary or 4 for a step's "OK"; newLine false
    // when the next record continues the line.
    void operator()(const QString &message, const char *colour, int weight = 1,
                    bool newLine = true, bool italic = false);
    void ok();
    void initializeFailure();
    void transferFailure();
    void timeout();
    // The failure a chip routine's result stands for: -1 a failed transfer, -3 a chip that
    // stayed busy; -2, a refusal, the routine has logged itself.
    void routineFailure(int result);
    // Why a chip refused programming, where it did.
    void programmingFault(const PageProgrammer &programmer);
    // Why an erase failed (the eraser knows where the chip flagged an error).
    void eraseFailure(ChipEraser::Result result, const ChipEraser &eraser);
    // The chip list's page text is no size the routines know.
    void unsupportedPage(const QString &page);
    // An image smaller than the chip: both sizes, and what becomes of the rest of the chip.
    void smallerImage(int imageSize, uint32_t chipSize, const QString &rest);
    // Two reads of the chip disagreed: how many bytes, the first ranges, what was left undone
    // (nothingDone) and what to check.
    void readsDiffer(const ReadDifference &difference, const QString &nothingDone);
    // What to check when the chip reads differently from one read to the next.
    void wiringAdvice();
    // A CH347 clocked at 30 MHz or more may outrun its wiring: one line suggests less. kHz: the
    // bridge's clock, 0 where it is fixed.
    void lowerClockHint(uint32_t kHz);
    // One line: the CRC-32 and SHA-256 of bytes read or written.
    void checksums(const QByteArray &bytes);

    static QString hexByte(uint8_t value);
    static QString hexAddress(uint32_t address);

private:
    CH341 &m_worker;
};

class JobProgress : public ChipProgress
{
public:
    explicit JobProgress(CH341 &worker);

    void started(ChipActivity activity, qulonglong total) override;
    void advanced(ChipActivity activity, qulonglong done, qulonglong total) override;
    void reset() override;
    void eraseSent() override;
    void erasePolled() override;
    bool stopRequested() const override;

private:
    CH341 &m_worker;
};
