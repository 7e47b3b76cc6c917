#include "pieces/encoded_pieces.h"

#include "file_url.h"
#include "folder/piece_names.h"
#include "pieces/mp3_padding.h"
#include "pieces/piece_format.h"

namespace brevane::detail {

namespace {

    // Scratch WAV files the pool may hold beyond those being encoded: enough that a child that
    // ends finds its next piece waiting, and little disk.
    constexpr int piecesWaiting = 1;

    QString samplesScratch(const PieceJob& job, qsizetype index)
    {
        return scratchPath(job.outputDir, index, QStringLiteral("samples"), job.names);
    }

    QString tagsScratch(const PieceJob& job, qsizetype index)
    {
        return scratchPath(job.outputDir, index, QStringLiteral("tags"), job.names);
    }

} // namespace

EncodedPieces::EncodedPieces(const PieceJob& job)
    : m_job(job)
    , m_pool(EncoderPool::machineWorkers(), EncoderPool::machineWorkers() + piecesWaiting, job.stop)
{
}

QString EncodedPieces::samplesPath(qsizetype index)
{
    return m_pool.claimScratch(samplesScratch(m_job, index));
}

QStringList EncodedPieces::encoderCall(qsizetype index, const InternalSegment& range) const
{
    const PieceEncoding& encoding = m_job.encoding;
    QStringList arguments { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
        QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-i"),
        fileUrl(samplesScratch(m_job, index)) };
    // The samples already have the input's layout, remixed as the pieces' "-ac" would remix it
    // where the counts agree, so "-ac" is left out then: it could only fail on layouts ffmpeg
    // cannot name.
    arguments << encoderArguments(encoding, encoding.channelCount != m_job.stream.channelCount);
    if (encoding.format == PieceFormat::Wav
        && wavPieceNeedsRf64(samplesAtRate(range.endFrame - range.startFrame,
                                 m_job.stream.sampleRate, encoding.sampleRate),
            encoding.channelCount))
        arguments << QStringLiteral("-rf64") << QStringLiteral("auto");
    // The scratch name does not tell ffmpeg the container.
    arguments << QStringLiteral("-f") << pieceSuffix(encoding.format)
              << childOutputPath(scratchPath(
                     m_job.outputDir, index, pieceSuffix(encoding.format), m_job.names));
    return arguments;
}

bool EncodedPieces::pieceWritten(
    qsizetype index, const InternalSegment& range, QString* errorMessage)
{
    const QString suffix = pieceSuffix(m_job.encoding.format);
    EncoderPool::Job job;
    job.samplesPath = samplesScratch(m_job, index);
    job.encodedPath = scratchPath(m_job.outputDir, index, suffix, m_job.names);
    job.piecePath = piecePath(m_job.outputDir, index, suffix, m_job.names);
    job.arguments = encoderCall(index, range);
    const bool mp3 = m_job.encoding.format == PieceFormat::Mp3;
    if (mp3 || m_job.tagging.enabled()) {
        const std::int64_t samples = samplesAtRate(
            range.endFrame - range.startFrame, m_job.stream.sampleRate, m_job.encoding.sampleRate);
        // The count of pieces is not known yet: the piece says its number alone until finish.
        job.finishing = [this, mp3, samples, index](const QString& encodedPath, QString* message) {
            return (!mp3 || repairMp3Padding(encodedPath, samples, message))
                && (!m_job.tagging.enabled()
                    || m_job.tagging.write(
                        encodedPath, tagsScratch(m_job, index), index + 1, 0, message));
        };
    }
    m_submitted.append(range);
    return m_pool.submit(std::move(job), errorMessage);
}

void EncodedPieces::reportStop(SplitStop* stop, const QList<InternalSegment>&, const QString&)
{
    m_pool.stop();
    const QStringList named = m_pool.piecesNamed();
    // A piece may be done before the one in front of it, so they are found by name.
    stop->completePieces.clear();
    for (qsizetype index = 0; index < m_submitted.size(); ++index) {
        const QString path
            = piecePath(m_job.outputDir, index, pieceSuffix(m_job.encoding.format), m_job.names);
        if (named.contains(path))
            stop->completePieces.append(
                pieceRecord(path, m_job.stream.sampleRate, m_submitted.at(index)));
    }
    stop->cutShortPath.clear();
}

bool EncodedPieces::finish(qsizetype pieceCount, QString* errorMessage)
{
    std::function<void(qsizetype)> piecesDone;
    if (m_job.progress) {
        piecesDone = [this, pieceCount](qsizetype done) {
            if (done < pieceCount)
                m_job.reportWriting(done + 1, pieceCount);
        };
    }
    if (!m_pool.finish(errorMessage, piecesDone))
        return false;
    // Each piece's tags were written for its number alone, at the size of the widest count:
    // now that the count is known, they are rewritten in place, without the pieces being
    // encoded again. An MP3 or FLAC piece takes one write of its tags; an Opus piece's comment
    // header pages are rewritten whole, as their checksums change.
    if (!m_job.tagging.enabled())
        return true;
    const QString suffix = pieceSuffix(m_job.encoding.format);
    for (qsizetype index = 0; index < pieceCount; ++index) {
        if (!m_job.tagging.write(piecePath(m_job.outputDir, index, suffix, m_job.names),
                tagsScratch(m_job, index), index + 1, pieceCount, errorMessage))
            return false;
    }
    return true;
}

} // namespace brevane::detail
