#include "stopsignals.h"

#include <QThread>

#include <atomic>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kStopSignals[3] = {SIGINT, SIGTERM, SIGHUP};

// What the handler may touch: a lock-free counter and a file descriptor.
std::atomic<int> g_stops{0};
int g_pipeWriteEnd = -1;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free count");

extern "C" void OnStopSignal(int signal)
{
    if (g_stops.fetch_add(1) > 0)
        _exit(128 + signal);
    const unsigned char number = static_cast<unsigned char>(signal);
    const ssize_t written = write(g_pipeWriteEnd, &number, 1);
    static_cast<void>(written);
}

sigset_t StopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}
} // namespace

StopSignals::StopSignals(std::function<void(int)> onStop, QObject *parent)
    : QObject(parent)
    , m_onStop(std::move(onStop))
{
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_stops = 0;
    g_pipeWriteEnd = m_pipe[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &StopSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        sigaction(kStopSignals[i], nullptr, &m_previous[i]);
        if (m_previous[i].sa_handler != SIG_IGN)
            sigaction(kStopSignals[i], &action, nullptr);
    }
}

StopSignals::~StopSignals()
{
    if (m_pipe[0] < 0)
        return;
    // Once the job is over a stop signal does what it did before.
    for (int i = 0; i < 3; ++i)
        sigaction(kStopSignals[i], &m_previous[i], nullptr);
    m_notifier.reset();
    g_pipeWriteEnd = -1;
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void StopSignals::startShielded(QThread &thread)
{
    // A new thread takes the signal mask of the thread that starts it.
    const sigset_t stops = StopSignalSet();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    thread.start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void StopSignals::readSignal()
{
    unsigned char number = 0;
    while (read(m_pipe[0], &number, 1) == 1) {
        if (m_received != 0)
            continue;
        m_received = number;
        if (m_onStop)
            m_onStop(number);
    }
}
