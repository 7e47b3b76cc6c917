#include "signal_stop.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <pthread.h>
#include <sys/types.h>

namespace {

brevane::SplitStop* g_stop = nullptr;
// The first stop signal in the low half, and above it the process that sent it (0 when the
// kernel did: a terminal). One word, set in one step, so that a second signal handled on
// another thread meanwhile finds both or neither.
std::atomic<std::uint64_t> g_firstStop { 0 };

pid_t sender(const siginfo_t* info) { return info && info->si_code <= 0 ? info->si_pid : 0; }

std::uint64_t stopWord(int signal, pid_t from)
{
    return std::uint64_t(std::uint32_t(from)) << 32 | std::uint32_t(signal);
}
int signalOf(std::uint64_t word) { return int(std::uint32_t(word)); }
pid_t senderOf(std::uint64_t word) { return pid_t(std::uint32_t(word >> 32)); }

// Whether a signal is the first one delivered again rather than a second request. A process
// may send its signal twice: `timeout` sends it to the program and then to the program's whole
// process group. A closing terminal's hangup comes from the kernel and again from the shell, to
// its jobs. Ctrl-C pressed again comes from the kernel each time: the user asks again.
bool repeatsTheFirst(std::uint64_t first, int signal, const siginfo_t* info)
{
    if (signal != signalOf(first))
        return false;
    return signal == SIGHUP || (sender(info) != 0 && sender(info) == senderOf(first));
}

void onStopSignal(int signal, siginfo_t* info, void*)
{
    const int savedErrno = errno;
    std::uint64_t first = 0;
    if (g_firstStop.compare_exchange_strong(first, stopWord(signal, sender(info)))) {
        g_stop->request();
    } else if (!repeatsTheFirst(first, signal, info)) {
        // Whoever sends a second one will not wait for the clean stop: the children end with
        // the program, which ends by this signal as soon as the handler returns.
        g_stop->signalChildren(SIGKILL);
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    errno = savedErrno;
}

// The terminal stops the program's own process group only; the children are stopped and
// continued with it. A child that a pool thread starts between the children's SIGSTOP and the
// program's own stop is paused as it starts (SplitStop::signalChildren).
void onTerminalStop(int)
{
    const int savedErrno = errno;
    g_stop->signalChildren(SIGSTOP);
    struct sigaction stopNow { };
    stopNow.sa_handler = SIG_DFL;
    struct sigaction thisHandler { };
    ::sigaction(SIGTSTP, &stopNow, &thisHandler);
    ::raise(SIGTSTP);
    sigset_t terminalStop;
    sigemptyset(&terminalStop);
    sigaddset(&terminalStop, SIGTSTP);
    // The program stops here, and goes on once it is continued.
    pthread_sigmask(SIG_UNBLOCK, &terminalStop, nullptr);
    ::sigaction(SIGTSTP, &thisHandler, nullptr);
    g_stop->signalChildren(SIGCONT);
    errno = savedErrno;
}

QString signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    }
    return QStringLiteral("signal %1").arg(signal);
}

// Encoders that run side by side may finish a piece before the one in front of it.
bool followOneAnother(const QList<brevane::Segment>& pieces)
{
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        if (pieces.at(i).startFrame != pieces.at(i - 1).endFrame)
            return false;
    }
    return true;
}

QStringList paths(const QList<brevane::Segment>& pieces)
{
    QStringList all;
    for (const brevane::Segment& piece : pieces)
        all << piece.filePath;
    return all;
}

} // namespace

SignalStop::SignalStop(brevane::SplitStop* stop)
{
    g_stop = stop;
    struct sigaction action { };
    action.sa_flags = SA_RESTART;
    // One handler at a time: a second signal waits until the first has been dealt with.
    sigemptyset(&action.sa_mask);
    for (const int signal : handledSignals)
        sigaddset(&action.sa_mask, signal);
    for (std::size_t i = 0; i < std::size(handledSignals); ++i) {
        if (handledSignals[i] == SIGTSTP) {
            action.sa_flags = SA_RESTART;
            action.sa_handler = onTerminalStop;
        } else {
            action.sa_flags = SA_RESTART | SA_SIGINFO;
            action.sa_sigaction = onStopSignal;
        }
        m_installed[i] = ::sigaction(handledSignals[i], nullptr, &m_previous[i]) == 0
            && m_previous[i].sa_handler != SIG_IGN
            && ::sigaction(handledSignals[i], &action, nullptr) == 0;
    }
}

SignalStop::~SignalStop() { finish(); }

// The signals wait while the handling is put back. After a stop, a repeat of its signal that
// comes from here on (a closing terminal's second hangup, `timeout`'s second SIGTERM) stays
// waiting, so that it cannot end the program before the program has said what it leaves; the
// program then ends by the first signal, into which the repeat merges (endBySignal).
int SignalStop::finish()
{
    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : handledSignals)
        sigaddset(&handled, signal);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &handled, &previousMask);
    for (std::size_t i = 0; i < std::size(handledSignals); ++i) {
        if (m_installed[i])
            ::sigaction(handledSignals[i], &m_previous[i], nullptr);
        m_installed[i] = false;
    }
    const int signal = signalOf(g_firstStop.load());
    if (signal == 0)
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return signal;
}

QString interruptionReport(
    int signal, const QList<brevane::Segment>& complete, const QString& cutShort, bool dryRun)
{
    QString pieces;
    if (dryRun || (complete.isEmpty() && cutShort.isEmpty()))
        pieces = QObject::tr("no piece written");
    else if (complete.isEmpty())
        pieces = QObject::tr("no piece complete");
    else if (complete.size() == 1)
        pieces = QObject::tr("1 piece complete (%1)").arg(complete.first().filePath);
    else if (followOneAnother(complete))
        pieces = QObject::tr("%1 pieces complete (%2 to %3)")
                     .arg(QString::number(complete.size()), complete.first().filePath,
                         complete.last().filePath);
    else
        pieces = QObject::tr("%1 pieces complete (%2)")
                     .arg(QString::number(complete.size()),
                         paths(complete).join(QStringLiteral(", ")));
    if (!dryRun && !cutShort.isEmpty())
        pieces += QObject::tr(", %1 cut short").arg(cutShort);
    return QObject::tr("Interrupted by %1: %2\n").arg(signalName(signal), pieces);
}

void endBySignal(int signal)
{
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}
