#include "jobrecorder.h"

#include <utility>

JobRecorder::JobRecorder(CH341 *worker)
{
    connect(worker, &CH341::UpdateLogWindow_Text, this,
            [this](QString message, QColor colour, int weight, bool italic, bool underLine,
                   bool newLine) {
                note(QStringLiteral("log"));
                logs.append({message, colour.name(), weight, italic, underLine, newLine});
            });
    const auto keep = [this, worker](auto signal, const char *event, auto *list) {
        connect(worker, signal, this, [this, event, list](auto value) {
            note(QLatin1String(event));
            list->append(value);
        });
    };
    keep(&CH341::Set_Label_Status_TEXT, "status", &statusTexts);
    keep(&CH341::UpdateProgreesBar_Value, "value", &values);
    keep(&CH341::SetProgreesBar_MaxValue, "max", &maxima);
    keep(&CH341::UpdateHexView, "hex", &hexData);
    connect(worker, &CH341::Set_Label_ProgModel_TEXT, this, [this] { note("model"); });
    connect(worker, &CH341::Set_Label_ProgStatus_TEXT, this, [this] { note("progstatus"); });
    connect(worker, &CH341::JobDone, this, [this, worker] {
        note(QStringLiteral("done"));
        ++jobDoneCount;
        outcome = worker->Outcome();
    });
}

void JobRecorder::note(const QString &event)
{
    emittedAfterJobDone = emittedAfterJobDone || jobDoneCount > 0;
    events.append(event);
}

QStringList JobRecorder::lines() const
{
    QStringList result;
    QString current;
    for (const LogRecord &record : logs) {
        current += record.message;
        if (record.newLine)
            result.append(std::exchange(current, QString()));
    }
    if (!current.isEmpty())
        result.append(current);
    return result;
}

QStringList JobRecorder::verdictLines() const
{
    QStringList result = lines();
    if (!result.isEmpty() && result.last().startsWith(QLatin1String("CRC-32: ")))
        result.removeLast();
    return result;
}
