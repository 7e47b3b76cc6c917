#include "pieces/copy_output.h"

#include "error_text.h"
#include "ffmpeg_child.h"
#include "folder/overwrite_guard.h"
#include "folder/piece_names.h"
#include "input/stretch_decoder.h"
#include "pieces/mp3_copy.h"

namespace brevane::detail {

namespace {

    const QString copySuffix = QStringLiteral("mp3");

    class CopyOutput final : public PieceOutput {
    public:
        CopyOutput(const PieceJob& job, bool onePass)
            : PieceOutput(job)
            , m_onePass(onePass)
            , m_writer(job.inputPath, *job.mp3Index)
        {
        }

        bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) override
        {
            QString why;
            const std::unique_ptr<StretchDecoder> decoder
                = openStretchDecoder(m_job.inputPath, m_job.stream, m_job.mp3Index, &why);
            if (!decoder)
                return fail(errorMessage, cannotCut(why));
            if (m_onePass) {
                if (!checkPieceNamesSpareInput(
                        m_job.inputPath, m_job.outputDir, errorMessage, copySuffix, m_job.names))
                    return false;
                AnalysisResult analysis;
                const bool written = m_job.analyse(*decoder, finder, &analysis, errorMessage,
                    [&](QString* message) { return writeClosed(finder, false, message); });
                if (!written && stopRequested(m_job.stop))
                    return m_job.stopped(m_written, errorMessage);
                if (!written || !writeClosed(finder, true, errorMessage)
                    || !tagWithCount(errorMessage))
                    return false;
            } else {
                AnalysisResult analysis;
                if (!m_job.analyse(*decoder, finder, &analysis, errorMessage))
                    return false;
                const QList<InternalSegment> snapped = m_writer.snapped(analysis.segments);
                if (!checkOutputsSpareInput(
                        m_job.inputPath, m_job.outputDir, snapped.size(), errorMessage, copySuffix))
                    return false;
                for (const InternalSegment& range : snapped) {
                    if (!writePiece(range, snapped.size(), errorMessage))
                        return stopRequested(m_job.stop) && m_job.stopped(m_written, errorMessage);
                }
            }
            *pieces = m_written;
            return true;
        }

    private:
        // The pieces whose ends the rule has decided, each written as soon as it is known: every
        // closed range but the last is a cut, which lands on the frame boundary nearest to it;
        // once the stream has ended, the last range is the end of the last piece.
        bool writeClosed(const CutFinder& finder, bool streamEnded, QString* errorMessage)
        {
            const QList<InternalSegment>& ranges = finder.closedRanges();
            const qsizetype cuts = streamEnded ? ranges.size() - 1 : ranges.size();
            for (; m_cutsTaken < cuts; ++m_cutsTaken) {
                const InternalSegment& range = ranges.at(m_cutsTaken);
                // A cut on the very last frame is the end of the stream after all.
                if (!streamEnded && range.endFrame >= m_job.mp3Index->totalFrames)
                    break;
                const std::int64_t boundary = m_writer.frameBoundaryNear(range.endFrame);
                if (boundary <= m_pieceStart)
                    continue;
                if (!writePiece({ m_pieceStart, boundary, range.kind }, 0, errorMessage))
                    return false;
                m_pieceStart = boundary;
            }
            if (streamEnded && !ranges.isEmpty())
                return writePiece({ m_pieceStart, m_job.mp3Index->totalFrames, ranges.last().kind },
                    0, errorMessage);
            return true;
        }

        bool writePiece(const InternalSegment& range, qsizetype pieceCount, QString* errorMessage)
        {
            if (stopRequested(m_job.stop))
                return failStopped(errorMessage);
            const qsizetype index = m_written.size();
            if (pieceCount > 0)
                m_job.reportWriting(index + 1, pieceCount);
            const QString path = piecePath(m_job.outputDir, index, copySuffix, m_job.names);
            // Tagged pieces carry their own tag, with the count where it is known already.
            const QByteArray tag = m_job.tagging.enabled()
                ? m_job.tagging.id3v2Bytes(index + 1, pieceCount)
                : QByteArray();
            if (!m_writer.write(range, path,
                    scratchPath(m_job.outputDir, index, copySuffix, m_job.names), errorMessage,
                    tag))
                return false;
            m_written.append(pieceRecord(path, m_job.stream.sampleRate, range));
            return true;
        }

        // A one-pass piece is tagged with its number alone, as the count is known only once
        // the last is written; each tag is then rewritten in place, at the same size.
        bool tagWithCount(QString* errorMessage)
        {
            if (!m_job.tagging.enabled())
                return true;
            for (qsizetype index = 0; index < m_written.size(); ++index) {
                if (!m_job.tagging.write(m_written.at(index).filePath, {}, index + 1,
                        m_written.size(), errorMessage))
                    return false;
            }
            return true;
        }

        QString cannotCut(const QString& why) const
        {
            return trText("--format copy cannot cut %1 exactly: %2 (try --format mp3)")
                .arg(m_job.inputPath, why);
        }

        const bool m_onePass;
        Mp3CopyWriter m_writer;
        QList<Segment> m_written;
        qsizetype m_cutsTaken = 0;
        std::int64_t m_pieceStart = 0;
    };

} // namespace

bool checkCopyableInput(const QString& inputPath, const StreamInfo& stream, QString* errorMessage)
{
    if (stream.codecName != QLatin1String("mp3"))
        return fail(errorMessage,
            trText("--format copy needs MP3 audio; %1 holds %2").arg(inputPath, stream.codecName));
    // In another container the frames lie between the container's own structures, so a piece
    // could not be a run of the input's bytes, and the container's timing (edit lists, start
    // offsets) rather than the frames decides which samples the input holds.
    if (stream.containerName != QLatin1String("mp3"))
        return fail(errorMessage,
            trText("--format copy needs MP3 audio in an MP3 file; %1 holds it in %2 (try "
                   "--format mp3)")
                .arg(inputPath, stream.containerName));
    return true;
}

bool checkCopyableFrames(const QString& inputPath, const Mp3Index& index, QString* errorMessage)
{
    if (index.regular())
        return true;
    return fail(errorMessage,
        trText("--format copy cannot cut %1 exactly: %2 (try --format mp3)")
            .arg(inputPath, index.irregularity));
}

std::unique_ptr<PieceOutput> makeCopyOutput(const PieceJob& job, bool onePass)
{
    return std::make_unique<CopyOutput>(job, onePass);
}

} // namespace brevane::detail
