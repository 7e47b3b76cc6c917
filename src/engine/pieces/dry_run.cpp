#include "pieces/dry_run.h"

#include "folder/piece_names.h"
#include "input/stretch_decoder.h"
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
            if (!analyse(finder, &analysis, errorMessage))
                return false;
            // Copied MP3 pieces end on the frame boundaries nearest to the cuts.
            const QList<InternalSegment> ranges = m_job.encoding.format == PieceFormat::Copy
                ? Mp3CopyWriter(m_job.inputPath, *m_job.mp3Index).snapped(analysis.segments)
                : analysis.segments;
            *pieces = plannedPieces(m_job.outputDir, m_job.stream.sampleRate, ranges,
                pieceSuffix(m_job.encoding.format), m_job.names);
            return true;
        }

    private:
        // Nothing is written, so nothing needs the samples between the places where a cut can
        // fall: where the input's frames can be reached exactly (an MP3 file, PCM in a WAV
        // file), only those are decoded; every other input goes through the decoder child.
        bool analyse(CutFinder& finder, AnalysisResult* analysis, QString* errorMessage)
        {
            Mp3Index ownIndex;
            const Mp3Index* index = m_job.mp3Index;
            if (!index && m_job.stream.codecName == QLatin1String("mp3")
                && m_job.stream.containerName == QLatin1String("mp3")
                && indexMp3Stream(m_job.inputPath, m_job.stream.streamIndex, &ownIndex, nullptr))
                index = &ownIndex;
            const std::unique_ptr<StretchDecoder> decoder
                = openStretchDecoder(m_job.inputPath, m_job.stream, index);
            if (decoder)
                return m_job.analyse(*decoder, finder, analysis, errorMessage);
            return m_job.analyse(finder, analysis, errorMessage);
        }
    };

} // namespace

std::unique_ptr<PieceOutput> makeDryRunOutput(const PieceJob& job)
{
    return std::make_unique<DryRunOutput>(job);
}

} // namespace brevane::detail
