#pragma once

// Every ffmpeg child the engine runs, started and stopped one way: the decoder, each piece's
// writer, and any other child a way of writing pieces needs. With a SplitStop the child runs
// in a process group of its own, registered with the stop for as long as it runs, so that a
// stop reaches it while the engine is blocked waiting on it; the wait then ends because the
// child ends, and the engine unwinds as after a failure. Whatever owns a file of its own (a
// scratch file) therefore cleans it up in its destructor, as on every other failure.

#include "brevane.h"

#include <QProcess>
#include <QStringList>

#include <functional>

namespace brevane::detail {

// How a stop reaches a child.
enum class StopBy {
    // SIGTERM, for a child whose output is of no use once the split stops (the decoder).
    Terminate,
    // ffmpeg's own quit command, "q" on its standard input, for a child that writes a file: it
    // closes the file as after SIGTERM, and a SIGTERM that also reaches it from elsewhere (a
    // service manager ending every process of the service) is still only its first. A second
    // would make it abandon the file, leaving its header unwritten. It ends with status 0 then.
    QuitCommand,
};

class FfmpegChild {
public:
    // stop may be null: the child then stays in the caller's process group, as before there
    // was a way to stop a split.
    FfmpegChild(const QStringList& arguments, SplitStop* stop, StopBy stopBy = StopBy::Terminate);
    // A child still running is killed and waited for.
    ~FfmpegChild();
    FfmpegChild(const FfmpegChild&) = delete;
    FfmpegChild& operator=(const FfmpegChild&) = delete;

    // A step the child takes after the fork, before it becomes ffmpeg. Call before start; it
    // runs in the forked child, so it may make only async-signal-safe calls.
    void setChildSetup(std::function<void()> setup);

    // Starts ffmpeg with its standard streams as pipes, standard error apart. The outcome shows
    // as for QProcess::start.
    void start();

    // Waits as QProcess::waitForFinished does, and gives the child's slot up once it has ended.
    bool waitForFinished(int msecs = -1);
    // Kills the child and all it started (SIGKILL); waitForFinished must follow.
    void kill();

    // Whether the split was asked to stop: the child then ends, whatever its exit says.
    bool stopRequested() const;

    // Whether the child read its quit command, and so ended before its file was complete. Known
    // once waitForFinished has seen it end.
    bool quitCommandTaken() const { return m_quitCommandTaken; }

    QProcess& process() { return m_process; }

private:
    void release();

    QProcess m_process;
    SplitStop* const m_stop;
    const StopBy m_stopBy;
    std::function<void()> m_setup;
    int m_slot = -1;
    int m_quitChannel = -1;
    int m_childEnd = -1;
    bool m_quitCommandTaken = false;
};

// "Split stopped", for the stages that end because of a stop.
bool failStopped(QString* errorMessage);

// Whether a split with this stop (null: a split that cannot be stopped) was asked to stop.
bool stopRequested(const SplitStop* stop);

} // namespace brevane::detail
