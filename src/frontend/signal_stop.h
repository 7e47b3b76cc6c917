#pragma once

// What the program does with the signals that ask a run to end. SIGINT, SIGTERM and SIGHUP stop
// the split cleanly: its ffmpeg children close their files, and the run reports what it leaves
// and then ends by the same signal. A second one ends the program at once. The children run in
// process groups of their own, so a terminal's Ctrl-Z (SIGTSTP) pauses them here, with the
// program.

#include "brevane.h"

#include <QList>
#include <QString>

#include <csignal>
#include <iterator>

class SignalStop {
public:
    // Handles the signals for stop. A signal ignored when the program started stays ignored, as
    // whoever started it so (nohup, a script's background job) means it.
    explicit SignalStop(brevane::SplitStop* stop);
    ~SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    // Puts back the handling there was before, and returns the signal that asked for the stop,
    // or 0 when none came. After a stop the stop signals stay blocked, for endBySignal.
    int finish();

private:
    static constexpr int handledSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGTSTP };
    struct sigaction m_previous[std::size(handledSignals)] {};
    bool m_installed[std::size(handledSignals)] {};
};

// The one line on standard error after a stop, such as "Interrupted by SIGINT: 3 pieces
// complete (out/part_001.wav to out/part_003.wav), out/part_004.wav cut short".
QString interruptionReport(
    int signal, const QList<brevane::Segment>& complete, const QString& cutShort, bool dryRun);

// Ends the program by signal with its default action, so that a calling shell sees a child
// that was interrupted (bash reports 130 for SIGINT, 143 for SIGTERM) and stops too.
[[noreturn]] void endBySignal(int signal);
