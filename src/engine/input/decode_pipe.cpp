#include "input/decode_pipe.h"

#include "error_text.h"
#include "ffmpeg_child.h"
#include "file_url.h"
#include "input/channel_layout.h"

#include <QProcess>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace brevane::detail {

namespace {

    constexpr int startWaitMs = 30000;
    constexpr int readWaitMs = 30000;
    // Enough of the decoder's complaints to explain a failure, without letting a chatty
    // decoder grow memory over a multi-hour file.
    constexpr qsizetype keptErrorBytes = 64 * 1024;

    // The decoder writes each packet of a few kilobytes as soon as it has it. A loop that woke
    // for every write would spend several times as long in system calls and wake-ups as in
    // the analysis. So the child enlarges its pipe, and after a small read the loop pauses for
    // about as long as the decoder needs to fill a quarter of it: the next read then takes
    // dozens of packets at once, and the decoder does not find the pipe full. Where the pipe
    // cannot be enlarged, there is no pause.
    class ReadPacer {
    public:
        using Clock = std::chrono::steady_clock;

        ReadPacer() = default;
        ~ReadPacer()
        {
            if (m_pipeEnlarged)
                munmap(m_pipeEnlarged, sizeof *m_pipeEnlarged);
        }
        ReadPacer(const ReadPacer&) = delete;
        ReadPacer& operator=(const ReadPacer&) = delete;

        // Call before the decoder starts.
        void enlargePipeOf(FfmpegChild& decoder)
        {
#ifdef F_SETPIPE_SZ
            // The child reports through a shared page whether the pipe took the new size.
            void* page = mmap(nullptr, sizeof *m_pipeEnlarged, PROT_READ | PROT_WRITE,
                MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            if (page == MAP_FAILED)
                return;
            m_pipeEnlarged = new (page) std::atomic<bool>(false);
            std::atomic<bool>* enlarged = m_pipeEnlarged;
            decoder.setChildSetup([enlarged] {
                *enlarged = fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeBytes) >= pipeBytes;
            });
#else
            Q_UNUSED(decoder);
#endif
        }

        // Call once the bytes of a read, taken at readTime, have been analysed.
        void pauseAfterRead(qint64 bytesRead, Clock::time_point readTime)
        {
            const Clock::duration sincePrevious = readTime - m_previousRead;
            m_previousRead = readTime;
            if (!m_pipeEnlarged || !*m_pipeEnlarged || bytesRead <= 0 || bytesRead >= batchBytes)
                return;
            // At the rate this read's bytes came in, the rest of a batch takes this long; the
            // analysis has already used part of that time.
            const Clock::duration pause
                = sincePrevious * (batchBytes - bytesRead) / bytesRead - (Clock::now() - readTime);
            if (pause > Clock::duration::zero())
                std::this_thread::sleep_for(std::min<Clock::duration>(pause, longestPause));
        }

    private:
        static constexpr int pipeBytes = 1 << 20;
        static constexpr qint64 batchBytes = pipeBytes / 4;
        // Bounds the delay a slow decoder sees; at its pace a read is cheap anyway.
        static constexpr std::chrono::milliseconds longestPause { 2 };

        std::atomic<bool>* m_pipeEnlarged = nullptr;
        Clock::time_point m_previousRead = Clock::now();
    };

    // Moves what the decoder has written on standard output to the end of pcmBuffer, straight
    // from the process object's buffer. pcmBuffer keeps its allocation from read to read, as
    // the detector empties it down to at most a partial frame; taking over the process
    // object's buffer instead would save a copy, but costs a fresh allocation, and the page
    // faults of fresh memory, on every read. Returns the bytes moved.
    qint64 appendStandardOutput(QProcess& decoder, QByteArray& pcmBuffer)
    {
        const qint64 available = decoder.bytesAvailable();
        if (available <= 0)
            return 0;
        const qsizetype oldSize = pcmBuffer.size();
        pcmBuffer.resize(oldSize + available);
        const qint64 read = qMax<qint64>(decoder.read(pcmBuffer.data() + oldSize, available), 0);
        pcmBuffer.resize(oldSize + read);
        return read;
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

QStringList streamMapArguments(int mappedStream)
{
    if (mappedStream < 0)
        return {};
    return { QStringLiteral("-map"), QStringLiteral("0:%1").arg(mappedStream) };
}

QStringList decodeArguments(
    const QString& inputPath, const StreamInfo& stream, const QString& rawFormat)
{
    QStringList arguments { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
        QStringLiteral("error"), QStringLiteral("-i"), fileUrl(inputPath), QStringLiteral("-f"),
        rawFormat };
    if (!keepsOwnLayout(stream))
        arguments << QStringLiteral("-ac") << QString::number(stream.channelCount);
    arguments << QStringLiteral("-ar") << QString::number(stream.sampleRate);
    arguments << streamMapArguments(stream.mappedStream) << QStringLiteral("-");
    return arguments;
}

bool runDecoder(const QStringList& arguments, const DecodedChunkConsumer& consume,
    DecoderExit* decoderExit, QString* errorMessage, SplitStop* stop)
{
    ReadPacer pacer;
    FfmpegChild child(arguments, stop);
    QProcess& decoder = child.process();
    pacer.enlargePipeOf(child);
    child.start();
    if (!decoder.waitForStarted(startWaitMs))
        return fail(errorMessage, trText("Failed to start ffmpeg: %1").arg(decoder.errorString()));

    QByteArray pcmBuffer;
    QByteArray& errorTail = decoderExit->errorTail;
    errorTail.clear();

    // A stop ends the decoder, so that the waits here end too, and is then seen before the
    // bytes that were still on their way are handed on.
    for (;;) {
        if (decoder.waitForReadyRead(readWaitMs)) {
            if (child.stopRequested())
                break;
            const qint64 bytesRead = appendStandardOutput(decoder, pcmBuffer);
            const ReadPacer::Clock::time_point readTime = ReadPacer::Clock::now();
            keepStandardError(decoder, errorTail);
            if (!consume(pcmBuffer, false)) {
                child.kill();
                child.waitForFinished(-1);
                return false;
            }
            pacer.pauseAfterRead(bytesRead, readTime);
        } else if (decoder.state() == QProcess::NotRunning) {
            break;
        }
    }
    if (child.stopRequested()) {
        child.kill();
        child.waitForFinished(-1);
        return failStopped(errorMessage);
    }

    if (!child.waitForFinished(-1)) {
        child.kill();
        child.waitForFinished(-1);
    }
    appendStandardOutput(decoder, pcmBuffer);
    keepStandardError(decoder, errorTail);
    decoderExit->normalExit = decoder.exitStatus() == QProcess::NormalExit;
    decoderExit->exitCode = decoder.exitCode();
    return consume(pcmBuffer, true);
}

} // namespace brevane::detail
