#pragma once

#include "brevane.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>

// The text of the status line for one progress report: "decoding 12m3s of 2h0m0s (10%)",
// "decoding 12m3s" when the total is unknown, "writing part 3 of 24"; while a one-pass run
// decodes, the piece being written follows: "decoding 12m3s of 2h0m0s (10%), writing part 3".
QString progressText(const brevane::SplitProgress& progress);

// A status line on standard error, rewritten in place with a carriage return. It draws only
// when enabled (standard error is a terminal), so that pipes, files and scripts receive
// exactly the program's normal output. A new stage or piece is drawn at once; the decode
// position at most about ten times a second.
class ProgressLine {
public:
    using Sink = std::function<void(const QString& text)>;

    // sink, when set, receives what would be written to standard error.
    explicit ProgressLine(bool enabled, Sink sink = {});
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(const brevane::SplitProgress& progress);

    // Blanks the line and returns the cursor to its start, so that what follows is printed
    // as if no status line had been there.
    void clear();

private:
    void draw(const QString& text);

    const bool m_enabled;
    const Sink m_sink;
    QElapsedTimer m_sinceDraw;
    qsizetype m_shownLength = 0;
    brevane::SplitProgress::Stage m_lastStage = brevane::SplitProgress::Stage::Decoding;
    qsizetype m_lastPart = 0;
};
