#include "pieces/dry_run.h"

#include "folder/piece_names.h"
#include "pieces/mp3_copy.h"

namespace brevane::detail {

namespace {

    // The analysis pass alone; the pieces are reported as a real run would write them.
    class DryRunOutput final : public PieceOutput {
    public:
        using PieceOutput::PieceOutput;

        bool write(CutFinder& finder, QList<Segment>* pieces, QString* errorMessage) override
        {
            AnalysisResult analysis;
            if (!m_job.analyse(finder, &analysis, errorMessage))
                return false;
            // Copied MP3 pieces end on the frame boundaries nearest to the cuts.
            const QList<InternalSegment> ranges = m_job.encoding.format == PieceFormat::Copy
                ? Mp3CopyWriter(m_job.inputPath, *m_job.mp3Index).snapped(analysis.segments)
                : analysis.segments;
            *pieces = plannedPieces(m_job.outputDir, m_job.stream.sampleRate, ranges,
                pieceSuffix(m_job.encoding.format));
            return true;
        }
    };

} // namespace

std::unique_ptr<PieceOutput> makeDryRunOutput(const PieceJob& job)
{
    return std::make_unique<DryRunOutput>(job);
}

} // namespace brevane::detail
