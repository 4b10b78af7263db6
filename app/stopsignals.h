#pragma once

// StopSignals: SIGINT, SIGTERM and SIGHUP while a command-line job runs. The first asks the
// job to stop; a second ends the program at once with 128 + its number. The handler does
// nothing but write the signal's number to a pipe, which the main thread reads. Main thread.

#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>

class QThread;

class StopSignals : public QObject
{
public:
    // onStop runs on the main thread, once, with the first signal's number.
    explicit StopSignals(std::function<void(int signal)> onStop, QObject *parent = nullptr);
    ~StopSignals() override;

    // The first stop signal's number, 0 before one came.
    int received() const { return m_received; }

    // Starts thread with the stop signals blocked in it, so that they reach the main thread
    // and never cut one of its USB transfers short.
    static void startShielded(QThread &thread);

private:
    void readSignal();

    std::function<void(int)> m_onStop;
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_received = 0;
    // How the signals were handled before: restored after the job; one ignored (nohup) stays
    // ignored.
    struct sigaction m_previous[3] = {};
};
