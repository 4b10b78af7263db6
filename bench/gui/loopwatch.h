#pragma once

// LoopWatch: a 1 ms timer on the GUI thread that notes the longest gap
// between two of its ticks, which is how long the event loop was kept from
// turning. Installed as an event filter it also counts the queued slot calls
// delivered in that gap, and it notes the thread's CPU time in it. GUI thread.

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
    // When the longest gap ended, since start().
    double longestGapEndMs() const { return m_longestGapEndNs / 1e6; }
    quint64 ticks() const { return m_ticks; }
    quint64 callsInLongestGap() const { return m_callsInLongestGap; }
    // CPU time the GUI thread itself spent in the longest gap: a gap much longer than this
    // is time the machine gave to other threads and processes.
    double cpuInLongestGapMs() const { return m_cpuInLongestGapNs / 1e6; }
    quint64 mostCallsInOneGap() const { return m_mostCalls; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void tick();
    void closeGap(qint64 now);

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    qint64 m_lastTickCpuNs = 0;
    qint64 m_cpuInLongestGapNs = 0;
    qint64 m_longestGapNs = 0;
    qint64 m_longestGapEndNs = 0;
    quint64 m_ticks = 0;
    quint64 m_calls = 0;
    quint64 m_callsInLongestGap = 0;
    quint64 m_mostCalls = 0;
};
