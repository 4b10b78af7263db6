#include "loopwatch.h"

#include <algorithm>

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
    m_ticks = 0;
    m_clock.start();
    m_lastTickNs = 0;
    m_timer.start();
}

void LoopWatch::stop()
{
    m_timer.stop();
    // The stretch since the last tick counts too.
    m_longestGapNs = std::max(m_longestGapNs, m_clock.nsecsElapsed() - m_lastTickNs);
}

void LoopWatch::tick()
{
    const qint64 now = m_clock.nsecsElapsed();
    m_longestGapNs = std::max(m_longestGapNs, now - m_lastTickNs);
    m_lastTickNs = now;
    ++m_ticks;
}
