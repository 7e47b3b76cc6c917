#include "engine_internal.h"

#include <QProcess>

namespace brevane::detail {

namespace {

    constexpr int startWaitMs = 30000;
    constexpr int readWaitMs = 30000;
    // Enough of the decoder's complaints to explain a failure, without letting a chatty
    // decoder grow memory over a multi-hour file.
    constexpr qsizetype keptErrorBytes = 64 * 1024;

    // Moves what the decoder has written on standard output to the end of pcmBuffer, straight
    // from the process object's buffer, without an intermediate copy.
    void appendStandardOutput(QProcess& decoder, QByteArray& pcmBuffer)
    {
        const qint64 available = decoder.bytesAvailable();
        if (available <= 0)
            return;
        const qsizetype oldSize = pcmBuffer.size();
        pcmBuffer.resize(oldSize + available);
        const qint64 read = decoder.read(pcmBuffer.data() + oldSize, available);
        pcmBuffer.resize(oldSize + qMax<qint64>(read, 0));
    }

    void keepStandardError(QProcess& decoder, QByteArray& errorTail)
    {
        errorTail.append(decoder.readAllStandardError());
        if (errorTail.size() > keptErrorBytes) {
            qsizetype cut = errorTail.size() - keptErrorBytes;
            // Do not start the kept text in the middle of a UTF-8 sequence.
            while (cut < errorTail.size() && (std::uint8_t(errorTail.at(cut)) & 0xC0) == 0x80)
                ++cut;
            errorTail.remove(0, cut);
        }
    }

} // namespace

QStringList decodeArguments(const QString& inputPath, std::int64_t sampleRate, int channelCount)
{
    return { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
        QStringLiteral("-i"), inputPath, QStringLiteral("-f"), QStringLiteral("f32le"),
        QStringLiteral("-ac"), QString::number(channelCount), QStringLiteral("-ar"),
        QString::number(sampleRate), QStringLiteral("-") };
}

bool analyzeAudio(const QString& inputPath, std::int64_t sampleRate, int channelCount,
    const FrameWindows& windows, AnalysisResult* result, QString* errorMessage)
{
    QProcess decoder;
    decoder.setProgram(QStringLiteral("ffmpeg"));
    decoder.setArguments(decodeArguments(inputPath, sampleRate, channelCount));
    decoder.setProcessChannelMode(QProcess::SeparateChannels);
    decoder.start(QIODevice::ReadWrite);
    if (!decoder.waitForStarted(startWaitMs))
        return fail(errorMessage, trText("Failed to start ffmpeg: %1").arg(decoder.errorString()));

    QByteArray pcmBuffer;
    QByteArray errorTail;
    BoundaryDetector detector(channelCount, windows);

    for (;;) {
        if (decoder.waitForReadyRead(readWaitMs)) {
            appendStandardOutput(decoder, pcmBuffer);
            keepStandardError(decoder, errorTail);
            detector.processChunk(pcmBuffer);
        } else if (decoder.state() == QProcess::NotRunning) {
            break;
        }
    }

    if (!decoder.waitForFinished(-1)) {
        decoder.kill();
        decoder.waitForFinished(-1);
    }
    appendStandardOutput(decoder, pcmBuffer);
    keepStandardError(decoder, errorTail);
    detector.processChunk(pcmBuffer);

    if (!detector.finishAnalysis(result, errorMessage))
        return false;

    // A decoder that dies halfway would otherwise pass its truncated output off as the whole
    // recording, and the tail would be missing from the pieces without a word.
    if (decoder.exitStatus() != QProcess::NormalExit || decoder.exitCode() != 0) {
        *result = AnalysisResult();
        return fail(errorMessage, ffmpegExitMessage(decoder.exitCode(), errorTail));
    }
    return true;
}

} // namespace brevane::detail
