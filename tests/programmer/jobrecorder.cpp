#include "jobrecorder.h"

JobRecorder::JobRecorder(CH341 *worker)
{
    connect(worker, &CH341::UpdateLogWindow_Text, this,
            [this](QString message, QColor colour, int weight, bool italic, bool underLine,
                   bool newLine) {
                note(QStringLiteral("log"));
                logs.append({message, colour.name(), weight, italic, underLine, newLine});
            });
    connect(worker, &CH341::Set_Label_Status_TEXT, this, [this](QString text) {
        note(QStringLiteral("status"));
        statusTexts.append(text);
    });
    connect(worker, &CH341::UpdateProgreesBar_Value, this, [this](qulonglong value) {
        note(QStringLiteral("value"));
        values.append(value);
    });
    connect(worker, &CH341::SetProgreesBar_MaxValue, this, [this](qulonglong value) {
        note(QStringLiteral("max"));
        maxima.append(value);
    });
    connect(worker, &CH341::Set_Label_ProgModel_TEXT, this,
            [this](QString) { note(QStringLiteral("model")); });
    connect(worker, &CH341::Set_Label_ProgStatus_TEXT, this,
            [this](QString) { note(QStringLiteral("progstatus")); });
    connect(worker, &CH341::UpdateHexView, this, [this](QByteArray data) {
        note(QStringLiteral("hex"));
        hexData.append(data);
    });
    connect(worker, &CH341::JobDone, this, [this] {
        note(QStringLiteral("done"));
        ++jobDoneCount;
    });
}

void JobRecorder::note(const QString &event)
{
    if (jobDoneCount > 0)
        emittedAfterJobDone = true;
    events.append(event);
}

QStringList JobRecorder::lines() const
{
    QStringList result;
    QString current;
    for (const LogRecord &record : logs) {
        current += record.message;
        if (record.newLine) {
            result.append(current);
            current.clear();
        }
    }
    if (!current.isEmpty())
        result.append(current);
    return result;
}
