#include "ffmpeg_child.h"

#include "error_text.h"

#include <algorithm>
#include <csignal>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brevane {

static_assert(
    std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
    "a signal handler may reach the stop only through lock-free atomics");

namespace {

    // A child's word in its slot: its process group in the low half, its quit channel above it,
    // and the top bit once it has been stopped.
    constexpr std::uint64_t stoppedMark = std::uint64_t(1) << 63;

    std::uint64_t childWord(int group, int quitChannel)
    {
        return std::uint64_t(std::uint32_t(group))
            | std::uint64_t(std::uint32_t(quitChannel)) << 32;
    }
    int groupOf(std::uint64_t word) { return int(std::uint32_t(word)); }
    int quitChannelOf(std::uint64_t word) { return int(std::uint32_t(word >> 32) & 0x7FFFFFFF); }

} // namespace

void SplitStop::request() noexcept
{
    m_requested.store(true);
    for (int slot = 0; slot < childSlots; ++slot)
        stopChild(slot);
}

// A child is stopped once, by whichever call marks its word first (the handler, or the thread
// that has just registered it): ffmpeg takes a second SIGTERM as a demand to end at once,
// leaving its file's header unwritten. The mark goes with the very child the word names, as a
// slot given up or taken again meanwhile makes the exchange fail.
void SplitStop::stopChild(int slot) noexcept
{
    std::uint64_t child = m_children[slot].load();
    do {
        if (groupOf(child) <= 0 || (child & stoppedMark))
            return;
    } while (!m_children[slot].compare_exchange_weak(child, child | stoppedMark));
    const int group = groupOf(child);
    const int quitChannel = quitChannelOf(child);
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
    // Marked before the children are signalled, and looked at by a child's start after it is
    // registered, so that one of the two always reaches a child that starts meanwhile.
    if (signal == SIGSTOP || signal == SIGCONT)
        m_paused.store(signal == SIGSTOP);
    for (const std::atomic<std::uint64_t>& slot : m_children) {
        if (const int group = groupOf(slot.load()); group > 0)
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
        const std::uint64_t word = childWord(pid, std::max(m_quitChannel, 0));
        for (int slot = 0; slot < SplitStop::childSlots && m_slot < 0; ++slot) {
            std::uint64_t free = 0;
            if (m_stop->m_children[slot].compare_exchange_strong(free, word))
                m_slot = slot;
        }
    }
    if (m_slot >= 0) {
        // A stop asked for before the child was registered has not reached it; one asked for
        // from here on reaches it through the handler. stopChild stops it once either way.
        if (m_stop->requested())
            m_stop->stopChild(m_slot);
        // Likewise a pause: the caller's handler, on another thread, may have paused the
        // children before this one was registered. A resume that comes between the two looks
        // finds the child registered, or is seen by the second look.
        if (m_stop->m_paused.load()) {
            ::kill(-pid, SIGSTOP);
            if (!m_stop->m_paused.load())
                ::kill(-pid, SIGCONT);
        }
    }
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

// The slot is emptied in one step, so that a child started on another thread meanwhile takes it
// whole, and before its socket is closed, so that a signal handler, which runs between two
// steps of this thread, never writes to a number that another file may take next. (A handler on
// another thread that read the word just before may still send to that number: send() writes
// only to a socket, and the only sockets here are quit channels, of children that the same
// stop reaches anyway.) The child has ended by now; it read a quit command only if its word was
// marked as stopped and no command waits unread on its end. The mark comes just before the
// command is sent, so in that moment a complete piece may be taken for one cut short, never
// the other way round.
void FfmpegChild::release()
{
    if (m_slot >= 0) {
        const std::uint64_t child = m_stop->m_children[m_slot].exchange(0);
        char command = 0;
        m_quitCommandTaken = (child & stoppedMark) != 0 && m_childEnd >= 0
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
