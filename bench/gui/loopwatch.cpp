#include "loopwatch.h"

#include <QEvent>

#include <time.h>

#include <algorithm>

namespace {
qint64 ThreadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}
} // namespace

LoopWatch::LoopWatch(QObject *parent)
    : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    connect(&m_timer, &QTimer::timeout, this, &LoopWatch::tick);
}

void LoopWatch::start()
{
    m_longestGapNs = 0;
    m_longestGapEndNs = 0;
    m_ticks = 0;
    m_calls = 0;
    m_callsInLongestGap = 0;
    m_mostCalls = 0;
    m_cpuInLongestGapNs = 0;
    m_clock.start();
    m_lastTickNs = 0;
    m_lastTickCpuNs = ThreadCpuNs();
    m_timer.start();
}

void LoopWatch::stop()
{
    m_timer.stop();
    // The stretch since the last tick counts too.
    closeGap(m_clock.nsecsElapsed());
}

bool LoopWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MetaCall)
        ++m_calls;
    return QObject::eventFilter(watched, event);
}

void LoopWatch::tick()
{
    closeGap(m_clock.nsecsElapsed());
    ++m_ticks;
}

void LoopWatch::closeGap(qint64 now)
{
    const qint64 cpu = ThreadCpuNs();
    if (now - m_lastTickNs > m_longestGapNs) {
        m_longestGapNs = now - m_lastTickNs;
        m_longestGapEndNs = now;
        m_callsInLongestGap = m_calls;
        m_cpuInLongestGapNs = cpu - m_lastTickCpuNs;
    }
    m_lastTickCpuNs = cpu;
    m_mostCalls = std::max(m_mostCalls, m_calls);
    m_calls = 0;
    m_lastTickNs = now;
}
