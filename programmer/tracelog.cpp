#include "tracelog.h"

#include "bridge/tracelink.h"

#include <QFile>

namespace {
constexpr char kTraceCategory[] = "varnock.trace";
} // namespace

// Info and above only: the trace is debug output, disabled by default.
Q_LOGGING_CATEGORY(varnockTrace, kTraceCategory, QtInfoMsg)

namespace {
// Qt's message handler and category filter take no context: the process's one trace is
// reached from here.
struct ActiveTrace
{
    std::shared_ptr<ch341::TraceFile> file;
    QtMessageHandler previousHandler = nullptr;
    QLoggingCategory::CategoryFilter previousFilter = nullptr;
    // The logging rules asked for the trace on standard error as well.
    bool echoed = false;
};

ActiveTrace &Active()
{
    static ActiveTrace trace;
    return trace;
}

bool IsTraceCategory(const char *name)
{
    // By name: the filter also runs while the category itself is being made.
    return qstrcmp(name, kTraceCategory) == 0;
}

void EnableTraceCategory(QLoggingCategory *category)
{
    ActiveTrace &trace = Active();
    if (trace.previousFilter)
        trace.previousFilter(category);
    if (trace.file && IsTraceCategory(category->categoryName())) {
        trace.echoed = category->isDebugEnabled();
        category->setEnabled(QtDebugMsg, true);
    }
}

void WriteTraceLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const ActiveTrace &trace = Active();
    const bool traced = trace.file && IsTraceCategory(context.category);
    if (traced)
        trace.file->write(std::string(context.category) + ": " + message.toStdString());
    if ((!traced || trace.echoed) && trace.previousHandler)
        trace.previousHandler(type, context, message);
}
} // namespace

JobTrace::JobTrace(const QString &path, const QString &heading)
{
    std::string error;
    m_file = ch341::TraceFile::create(QFile::encodeName(path).toStdString(), error);
    if (!m_file) {
        m_error = QString::fromStdString(error);
        return;
    }
    m_file->write(heading.toStdString());
    ch341::traceUsbLink(m_file);
    ActiveTrace &trace = Active();
    trace.file = m_file;
    trace.previousHandler = qInstallMessageHandler(WriteTraceLine);
    trace.previousFilter = QLoggingCategory::installFilter(EnableTraceCategory);
}

JobTrace::~JobTrace()
{
    if (!m_file)
        return;
    ActiveTrace &trace = Active();
    trace.file.reset();
    QLoggingCategory::installFilter(trace.previousFilter);
    qInstallMessageHandler(trace.previousHandler);
    ch341::untraceUsbLink();
}
