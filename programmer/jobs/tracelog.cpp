#include "programmer/jobs/tracelog.h"

#include "programmer/jobs/ch341.h"
#include "bridge/tracelink.h"

#include <QColor>
#include <QFile>
#include <QMetaEnum>

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

// The end of a job's trace: how it ended, then what it said in red.
void WriteJobEnd(ch341::TraceFile &file, CH341::JobOutcome outcome, const QStringList &redLines)
{
    file.write(std::string("job outcome: ") +
               QMetaEnum::fromType<CH341::JobOutcome>().valueToKey(int(outcome)));
    for (const QString &line : redLines)
        file.write("red line: " + line.toStdString());
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

JobTrace::JobTrace(const QString &path, Detail detail, const QString &heading)
{
    std::string error;
    m_file = ch341::TraceFile::create(QFile::encodeName(path).toStdString(), error);
    if (!m_file) {
        m_error = QString::fromStdString(error);
        return;
    }
    m_file->write(heading.toStdString());
    ch341::traceUsbLink(m_file, detail == EveryByte ? ch341::TraceDetail::EveryByte
                                                    : ch341::TraceDetail::Summary);
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

void JobTrace::Follow(CH341 *worker)
{
    if (!m_file)
        return;
    // On the worker's thread, where its records and JobDone are emitted: nothing waits for
    // the main thread, and the outcome is the last line even when the program ends with it.
    struct Lines
    {
        QString open;
        bool openIsRed = false;
        QStringList red;
    };
    auto lines = std::make_shared<Lines>();
    const QColor red(QStringLiteral("red"));
    QObject::connect(
        worker, &CH341::UpdateLogWindow_Text, worker,
        [lines, red](const QString &Message, const QColor &Colour, int, bool, bool, bool NewLine) {
            lines->open += Message;
            lines->openIsRed = lines->openIsRed || Colour == red;
            if (!NewLine)
                return;
            if (lines->openIsRed)
                lines->red << lines->open;
            lines->open.clear();
            lines->openIsRed = false;
        },
        Qt::DirectConnection);
    std::shared_ptr<ch341::TraceFile> file = m_file;
    QObject::connect(
        worker, &CH341::JobDone, worker,
        [file, lines, worker] { WriteJobEnd(*file, worker->Outcome(), lines->red); },
        Qt::DirectConnection);
}

void JobTrace::EndUnstarted(const QString &redLine)
{
    if (m_file)
        WriteJobEnd(*m_file, CH341::JobOutcome::Failed, {redLine});
}
