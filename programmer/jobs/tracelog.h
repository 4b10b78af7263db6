#pragma once

// A trace file of one session: the USB transfers, the trace category's lines and the end of
// each job.

#include "programmer/transport/tracecategory.h"

#include <QString>

#include <memory>

class CH341;

namespace ch341 {
class TraceFile;
}

// While it lives, the USB transfers of the jobs (through the process-wide link, which it
// wraps), this category's lines and the end of each job it follows go to one file, a trace a
// user can send with a report. One at a time; create it on the main thread after the link is
// installed, before any job.
class JobTrace
{
public:
    // What the trace holds of the bytes on the bus.
    enum Detail {
        // Each exchange's transfer lengths; its bytes when they are 64 or fewer, else the
        // first and last 16 and their CRC-32: never the bulk of the chip's contents.
        Summary,
        // Every byte of every transfer.
        EveryByte,
    };

    // heading: the trace's first line (the program, its version, its arguments).
    JobTrace(const QString &path, Detail detail, const QString &heading);
    ~JobTrace();
    JobTrace(const JobTrace &) = delete;
    JobTrace &operator=(const JobTrace &) = delete;

    // Empty while tracing; otherwise why the file could not be created.
    QString errorString() const { return m_error; }
    // Ends the trace of the worker's job with its outcome and its red log lines, once it is
    // done. Before the job starts.
    void Follow(CH341 *worker);
    // Ends the trace of a job that could not start, as Follow ends one that ran.
    void EndUnstarted(const QString &redLine);

private:
    std::shared_ptr<ch341::TraceFile> m_file;
    QString m_error;
};
