#include "progress_line.h"

#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr qint64 redrawIntervalMs = 100;

QString wholeSeconds(double seconds)
{
    return brevane::formatDuration(std::floor(std::max(seconds, 0.0)));
}

void writeToStandardError(const QString& text)
{
    QTextStream err(stderr);
    err << text;
    err.flush();
}

} // namespace

QString progressText(const brevane::SplitProgress& progress)
{
    if (progress.stage == brevane::SplitProgress::Stage::Writing)
        return QStringLiteral("writing part %1 of %2").arg(progress.part).arg(progress.partCount);

    QString text = QStringLiteral("decoding ") + wholeSeconds(progress.positionSeconds);
    if (progress.totalSeconds > 0) {
        const double percent = std::clamp(
            std::floor(progress.positionSeconds / progress.totalSeconds * 100.0), 0.0, 100.0);
        text += QStringLiteral(" of %1 (%2%)")
                    .arg(wholeSeconds(progress.totalSeconds))
                    .arg(int(percent));
    }
    if (progress.part > 0)
        text += QStringLiteral(", writing part %1").arg(progress.part);
    return text;
}

ProgressLine::ProgressLine(bool enabled, Sink sink)
    : m_enabled(enabled)
    , m_sink(sink ? std::move(sink) : Sink(writeToStandardError))
{
}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::update(const brevane::SplitProgress& progress)
{
    if (!m_enabled)
        return;
    // A new stage or a new piece is shown at once, so each is drawn exactly once whatever the
    // machine's pace; the decode position is redrawn at a readable pace rather than on every
    // read of the decoder.
    const bool stageChanged = progress.stage != m_lastStage || progress.part != m_lastPart;
    if (m_sinceDraw.isValid() && !stageChanged && m_sinceDraw.elapsed() < redrawIntervalMs)
        return;
    m_lastStage = progress.stage;
    m_lastPart = progress.part;
    m_sinceDraw.start();
    draw(progressText(progress));
}

void ProgressLine::clear()
{
    if (!m_enabled || m_shownLength == 0)
        return;
    m_sink(QLatin1Char('\r') + QString(m_shownLength, QLatin1Char(' ')) + QLatin1Char('\r'));
    m_shownLength = 0;
}

void ProgressLine::draw(const QString& text)
{
    // Blanks pad over the rest of a longer previous text.
    const qsizetype padding = std::max<qsizetype>(m_shownLength - text.size(), 0);
    m_sink(QLatin1Char('\r') + text + QString(padding, QLatin1Char(' ')));
    m_shownLength = text.size();
}
