#pragma once

// The developer trace of the jobs ("chipver", "id.ID9FH", "st" ...): off unless
// QT_LOGGING_RULES="varnock.trace.debug=true", so an operator's terminal or journal
// never fills with it, or unless a JobTrace sends it to a file.

#include <QLoggingCategory>
#include <QString>

#include <memory>

namespace ch341 {
class TraceFile;
}

Q_DECLARE_LOGGING_CATEGORY(varnockTrace)

// While it lives, every USB transfer of the jobs (through the process-wide link, which it
// wraps) and this category's lines go to one file, a trace a user can send with a report.
// One at a time; create it on the main thread after the link is installed, before any job.
class JobTrace
{
public:
    // heading: the trace's first line (the program, its version, its arguments).
    JobTrace(const QString &path, const QString &heading);
    ~JobTrace();
    JobTrace(const JobTrace &) = delete;
    JobTrace &operator=(const JobTrace &) = delete;

    // Empty while tracing; otherwise why the file could not be created.
    QString errorString() const { return m_error; }

private:
    std::shared_ptr<ch341::TraceFile> m_file;
    QString m_error;
};
