#pragma once

// LatestValueRelay: carries a stream of values from the worker thread to a
// GUI-thread sink, keeping only the newest. Stored on the worker thread,
// delivered on the context object's thread.
//
// A job emits a value per chunk, far faster than the window can paint them;
// queued one call each, thousands pile up and the event loop stalls while
// it works through them. Here at most one queued call is in flight: a store
// replaces the waiting value and posts a call only when none is pending.
// The mailbox is two atomics, so neither thread ever waits for the other.

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

// Rung from the worker thread; the queued call it posts is made inside Qt,
// like any cross-thread signal's.
class RelayDoorbell : public QObject
{
    Q_OBJECT

signals:
    void rung();
};

template<typename T> class LatestValueRelay
{
public:
    using Sink = std::function<void(const T &)>;

    LatestValueRelay(QObject *context, Sink sink)
        : m_sink(std::move(sink))
    {
        QObject::connect(
            &m_doorbell, &RelayDoorbell::rung, context, [this] { deliver(); },
            Qt::QueuedConnection);
    }
    ~LatestValueRelay() { std::unique_ptr<T> dropped(m_latest.exchange(nullptr)); }
    LatestValueRelay(const LatestValueRelay &) = delete;
    LatestValueRelay &operator=(const LatestValueRelay &) = delete;

    // Worker thread.
    void store(T value)
    {
        // The mailbox owns the value it holds; the one it replaces is dropped unshown.
        std::unique_ptr<T> replaced(
            m_latest.exchange(std::make_unique<T>(std::move(value)).release()));
        if (!m_callPending.exchange(true))
            emit m_doorbell.rung();
    }

    // Context thread: hands the waiting value, if any, to the sink now.
    void deliver()
    {
        // Cleared first: a value stored after this point posts a call of its own.
        m_callPending.store(false);
        const std::unique_ptr<T> latest(m_latest.exchange(nullptr));
        if (latest)
            m_sink(*latest);
    }

private:
    RelayDoorbell m_doorbell;
    Sink m_sink;
    std::atomic<T *> m_latest{nullptr};
    std::atomic<bool> m_callPending{false};
};
