#include "jobsink.h"

#include "programmer/jobs/ch341.h"

#include <QColor>

JobSink::JobSink(QObject *parent)
    : QObject(parent)
{
}

void JobSink::watch(CH341 *worker)
{
    connect(worker, &CH341::UpdateLogWindow_Text, this,
            [this](QString message, QColor colour, int, bool, bool, bool newLine) {
                m_line += message;
                m_lineFailed = m_lineFailed || colour == QColor(Qt::red);
                if (!newLine)
                    return;
                records.append(m_line);
                if (m_lineFailed)
                    failures.append(m_line);
                m_line.clear();
                m_lineFailed = false;
            });
    // Counted where they are emitted, as the window's newest-value relays take them: the window
    // never runs a queued call per value. The job's thread has ended before anyone reads them.
    connect(
        worker, &CH341::Set_Label_Status_TEXT, worker, [this](QString) { ++statusTexts; },
        Qt::DirectConnection);
    connect(
        worker, &CH341::UpdateProgreesBar_Value, worker, [this](qulonglong) { ++progressValues; },
        Qt::DirectConnection);
    connect(worker, &CH341::JobDone, this, [this] {
        ++jobsDone;
        emit finished();
    });
}

void JobSink::openUrl(const QUrl &) {}
