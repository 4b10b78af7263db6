#pragma once

// LoopWatch: a 1 ms timer on the GUI thread that notes the longest gap
// between two of its ticks, which is how long the event loop was kept from
// turning. GUI thread.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class LoopWatch : public QObject
{
    Q_OBJECT

public:
    explicit LoopWatch(QObject *parent = nullptr);

    void start();
    void stop();
    double longestGapMs() const { return m_longestGapNs / 1e6; }
    quint64 ticks() const { return m_ticks; }

private:
    void tick();

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    qint64 m_longestGapNs = 0;
    quint64 m_ticks = 0;
};
