#include "pieces/dry_run.h"

#include "folder/piece_names.h"

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
            *pieces = plannedPieces(m_job.outputDir, m_job.stream.sampleRate, analysis.segments,
                pieceSuffix(m_job.encoding.format), m_job.names);
            return true;
        }
    };

} // namespace

std::unique_ptr<PieceOutput> makeDryRunOutput(const PieceJob& job)
{
    return std::make_unique<DryRunOutput>(job);
}

} // namespace brevane::detail
