#include "ffmpeg_child.h"

#include "error_text.h"

#include <algorithm>
#include <csignal>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevane {

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
    "a signal handler may reach the stop only through lock-free atomics");

void SplitStop::request() noexcept
{
    m_requested.store(true);
    for (int slot = 0; slot < childSlots; ++slot)
        stopChild(slot);
}

void SplitStop::stopChild(int slot) noexcept
{
    const int group = m_childGroups[slot].load();
    if (group <= 0)
        return;
    const int quitChannel = m_childQuitChannels[slot].load();
    if (quitChannel <= 0 || ::send(quitChannel, "q", 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1)
        ::kill(-group, SIGTERM);
    // A child paused with its caller reads its command, or handles the SIGTERM, once it runs
    // again.
    ::kill(-group, SIGCONT);
}

bool SplitStop::requested() const noexcept { return m_requested.load(); }

// A group is given up only after its child has been waited for, so in the moment between the
// two a signal may go to a group that has just ended. Linux hands process ids out in turn and
// takes a freed one again only after going through all the others, so no other process can
// have taken that id in that moment.
void SplitStop::signalChildren(int signal) noexcept
{
    for (const std::atomic<int>& slot : m_childGroups) {
        if (const int group = slot.load(); group > 0)
            ::kill(-group, signal);
    }
}

} // namespace brevane

namespace brevane::detail {

FfmpegChild::FfmpegChild(const QStringList& arguments, SplitStop* stop, StopBy stopBy)
    : m_stop(stop)
    , m_stopBy(stopBy)
{
    m_process.setProgram(QStringLiteral("ffmpeg"));
    m_process.setArguments(arguments);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

FfmpegChild::~FfmpegChild()
{
    if (m_process.state() != QProcess::NotRunning) {
        kill();
        waitForFinished(-1);
    }
    release();
}

void FfmpegChild::setChildSetup(std::function<void()> setup) { m_setup = std::move(setup); }

void FfmpegChild::start()
{
    // Every signal waits while the child is forked and registered: a signal that reached the
    // child before it had reset the handlers it inherits would run this process's handler
    // there, in a copy of this process's memory; and one handled here before the child is
    // registered would not reach it.
    sigset_t everySignal;
    sigset_t previousMask;
    sigfillset(&everySignal);
    pthread_sigmask(SIG_SETMASK, &everySignal, &previousMask);
    const pid_t parent = ::getpid();
    const bool ownGroup = m_stop != nullptr;
    // The quit command's socket becomes the child's standard input.
    int quitChannel[2] = { -1, -1 };
    if (ownGroup && m_stopBy == StopBy::QuitCommand
        && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitChannel) != 0)
        quitChannel[0] = quitChannel[1] = -1;
    const int childEnd = quitChannel[1];
    m_quitChannel = quitChannel[0];
    m_process.setChildProcessModifier([parent, ownGroup, childEnd, previousMask, setup = m_setup] {
        if (ownGroup)
            ::setpgid(0, 0);
        if (childEnd >= 0)
            ::dup2(childEnd, STDIN_FILENO);
        // Nothing can stop the child once this process is gone (SIGKILL, a crash), so it ends
        // with the thread that started it; a piece's ffmpeg still closes its file on SIGTERM.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction action;
            if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL
                && action.sa_handler != SIG_IGN)
                ::signal(signal, SIG_DFL);
        }
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        if (setup)
            setup();
    });
    m_process.start(QIODevice::ReadWrite);
    // Kept open here, so that a quit command the child never read is still there to be seen
    // once it has ended.
    m_childEnd = childEnd;

    const pid_t pid = pid_t(m_process.processId());
    if (ownGroup && pid > 0) {
        // The child makes its group itself too; whichever comes first, it exists from here on.
        ::setpgid(pid, pid);
        // A split runs a handful of children at once; should every slot be taken, this one is
        // not reached by a stop and ends by itself.
        for (int slot = 0; slot < SplitStop::childSlots && m_slot < 0; ++slot) {
            int free = 0;
            if (m_stop->m_childGroups[slot].compare_exchange_strong(free, pid))
                m_slot = slot;
        }
        if (m_slot >= 0)
            m_stop->m_childQuitChannels[m_slot].store(std::max(m_quitChannel, 0));
    }
    // A stop asked for before the child was registered has not reached it; one asked for from
    // here on reaches it through the handler, once: ffmpeg takes a second SIGTERM as a demand
    // to end at once, leaving its file's header unwritten.
    if (m_slot >= 0 && m_stop->requested())
        m_stop->stopChild(m_slot);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

bool FfmpegChild::waitForFinished(int msecs)
{
    const bool finished = m_process.waitForFinished(msecs);
    if (m_process.state() == QProcess::NotRunning)
        release();
    return finished;
}

void FfmpegChild::kill()
{
    const pid_t pid = pid_t(m_process.processId());
    if (m_stop && pid > 0)
        ::kill(-pid, SIGKILL);
    else
        m_process.kill();
}

bool FfmpegChild::stopRequested() const { return detail::stopRequested(m_stop); }

// The slot is emptied before its socket is closed, so that a signal handler, which runs between
// two steps of this thread, never writes to a number that another file may take next. A quit
// command is sent only after the stop is requested and only while the slot is held, so once the
// slot is empty, a command not waiting unread on the child's end was read by the child.
void FfmpegChild::release()
{
    if (m_slot >= 0) {
        m_stop->m_childGroups[m_slot].store(0);
        m_stop->m_childQuitChannels[m_slot].store(0);
        char command = 0;
        m_quitCommandTaken = m_stop->requested() && m_childEnd >= 0
            && ::recv(m_childEnd, &command, 1, MSG_PEEK | MSG_DONTWAIT) != 1;
    }
    m_slot = -1;
    for (int* channel : { &m_quitChannel, &m_childEnd }) {
        if (*channel >= 0)
            ::close(*channel);
        *channel = -1;
    }
}

bool failStopped(QString* errorMessage) { return fail(errorMessage, trText("Split stopped")); }

bool stopRequested(const SplitStop* stop) { return stop && stop->requested(); }

} // namespace brevane::detail
