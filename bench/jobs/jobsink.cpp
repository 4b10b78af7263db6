#include "jobsink.h"

#include "programmer/ch341.h"

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
    connect(worker, &CH341::Set_Label_Status_TEXT, this, [this](QString) { ++statusTexts; });
    connect(worker, &CH341::UpdateProgreesBar_Value, this,
            [this](qulonglong) { ++progressValues; });
    connect(worker, &CH341::JobDone, this, [this] {
        ++jobsDone;
        emit finished();
    });
}

void JobSink::openUrl(const QUrl &) {}
