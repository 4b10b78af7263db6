#pragma once

// Records every signal a worker emits, in order, so tests can compare whole
// job transcripts.

#include "programmer/jobs/ch341.h"

#include <QObject>
#include <QStringList>
#include <QVariantList>

struct LogRecord
{
    QString message, colour;
    int weight;
    bool italic, underLine, newLine;
};

class JobRecorder : public QObject
{
    Q_OBJECT

public:
    explicit JobRecorder(CH341 *worker);

    // Signal names in emission order: "log", "status", "value", "max", "hex", "model", "done".
    QStringList events;
    QList<LogRecord> logs;
    QStringList statusTexts;
    QList<qulonglong> values;
    QList<qulonglong> maxima;
    QList<QByteArray> hexData;
    int jobDoneCount = 0;
    bool emittedAfterJobDone = false;
    // What the worker had recorded when it emitted JobDone.
    CH341::JobOutcome outcome = CH341::JobOutcome::Failed;

    // The log as lines, records joined on one line until a line end.
    QStringList lines() const;
    // The same without the checksum line a good read, write, verify or update ends with.
    QStringList verdictLines() const;

private:
    void note(const QString &event);
};
