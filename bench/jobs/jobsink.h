#pragma once

// JobSink: stands in for the main window while a benchmark runs a job; it
// receives the worker's queued signals on the GUI thread and keeps what the
// benchmark checks afterwards.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class CH341;

class JobSink : public QObject
{
    Q_OBJECT

public:
    explicit JobSink(QObject *parent = nullptr);

    void watch(CH341 *worker);

    QStringList records;  // log records, one per line
    QStringList failures; // the lines logged in red
    quint64 statusTexts = 0;
    quint64 progressValues = 0;
    int jobsDone = 0;

public slots:
    // Takes the URLs the jobs ask the desktop to open.
    void openUrl(const QUrl &url);

signals:
    void finished();

private:
    QString m_line;
    bool m_lineFailed = false;
};
