// Throughput of the cut finders' processChunk (the silence rule's BoundaryDetector and the
// QuietestCutFinder), in frames per second, fed 64 KiB chunks as the decode pipe delivers them.

#include "cuts/boundary_detector.h"
#include "cuts/frame_windows.h"
#include "cuts/quietest_finder.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QList>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>

namespace {

using brevane::detail::BoundaryDetector;
using brevane::detail::FrameWindows;
using brevane::detail::QuietestCutFinder;

constexpr int sampleRate = 44100;
constexpr qsizetype chunkBytes = 64 * 1024;
// Long enough for the speech-like signal to hold many words and pauses.
constexpr qsizetype signalFrames = 10 * sampleRate;

enum class Signal { Loud, Silent, Speech, Hiss };

// Frames for one signal kind. Loud is noise well above the silence level; silent is noise
// below it; hiss is noise whose mean level is the silence level, so that frames flip between
// silent and loud at random, the worst case for a walk that goes run by run; speech alternates
// voiced stretches (a few harmonics under an envelope, so frames near zero crossings dip below the
// level, as real voices do) with pauses of low noise.
std::vector<float> makeSignal(Signal kind, int channelCount)
{
    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<float> samples;
    samples.reserve(std::size_t(signalFrames) * std::size_t(channelCount));

    auto pushFrame = [&](auto sampleFor) {
        for (int c = 0; c < channelCount; ++c)
            samples.push_back(sampleFor(c));
    };

    if (kind != Signal::Speech) {
        const float amplitude = kind == Signal::Loud ? 0.5f
            : kind == Signal::Silent                 ? 0.002f
                                                     : 0.01f;
        for (qsizetype k = 0; k < signalFrames; ++k)
            pushFrame([&](int) { return amplitude * unit(random); });
        return samples;
    }

    std::uniform_int_distribution<int> wordFrames(sampleRate / 10, sampleRate * 6 / 10);
    std::uniform_int_distribution<int> pauseFrames(sampleRate / 20, sampleRate * 8 / 10);
    std::uniform_real_distribution<double> pitch(90.0, 250.0);
    qsizetype frame = 0;
    while (frame < signalFrames) {
        const int word = wordFrames(random);
        const double f0 = pitch(random);
        for (int k = 0; k < word && frame < signalFrames; ++k, ++frame) {
            const double t = double(k) / sampleRate;
            const double envelope = 0.4 * std::sin(std::numbers::pi * k / word);
            const double voice = std::sin(2 * std::numbers::pi * f0 * t)
                + 0.5 * std::sin(4 * std::numbers::pi * f0 * t)
                + 0.25 * std::sin(6 * std::numbers::pi * f0 * t);
            pushFrame([&](int c) {
                return float(envelope * voice * (1.0 - 0.1 * c)) + 0.001f * unit(random);
            });
        }
        const int pause = pauseFrames(random);
        for (int k = 0; k < pause && frame < signalFrames; ++k, ++frame)
            pushFrame([&](int) { return 0.002f * unit(random); });
    }
    return samples;
}

// The signal cut into 64 KiB chunks of whole frames, so that each processChunk call consumes
// its whole buffer and the benchmark loop has no bytes to carry over.
QList<QByteArray> makeChunks(Signal kind, int channelCount)
{
    const std::vector<float> samples = makeSignal(kind, channelCount);
    const QByteArray bytes(
        reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * sizeof(float)));
    const qsizetype frameBytes = qsizetype(channelCount) * 4;
    const qsizetype step = chunkBytes / frameBytes * frameBytes;
    QList<QByteArray> chunks;
    for (qsizetype offset = 0; offset + step <= bytes.size(); offset += step)
        chunks.append(bytes.mid(offset, step));
    return chunks;
}

// The default window (5 minutes, 1 minute of tolerance) at 44.1 kHz.
FrameWindows defaultWindows()
{
    FrameWindows windows;
    windows.targetFrames = 300 * sampleRate;
    windows.minFrames = 240 * sampleRate;
    windows.maxFrames = 360 * sampleRate;
    windows.minSilenceFrames = sampleRate / 2;
    return windows;
}

template <typename Finder>
void feedChunks(benchmark::State& state, Finder& finder, const QList<QByteArray>& chunks)
{
    qsizetype next = 0;
    for (auto _ : state) {
        // Sharing the chunk costs nothing; processChunk reads it and drops every byte.
        QByteArray pcmBuffer = chunks.at(next);
        finder.processChunk(pcmBuffer);
        benchmark::DoNotOptimize(pcmBuffer.size());
        next = (next + 1) % chunks.size();
    }
    const qsizetype frameBytes = qsizetype(state.range(0)) * 4;
    state.SetItemsProcessed(state.iterations() * (chunks.front().size() / frameBytes));
    state.SetBytesProcessed(state.iterations() * chunks.front().size());
}

void processChunk(benchmark::State& state, Signal kind)
{
    const int channelCount = int(state.range(0));
    const QList<QByteArray> chunks = makeChunks(kind, channelCount);
    BoundaryDetector detector(channelCount, defaultWindows());
    feedChunks(state, detector, chunks);
}

void quietest(benchmark::State& state, Signal kind)
{
    const int channelCount = int(state.range(0));
    const QList<QByteArray> chunks = makeChunks(kind, channelCount);
    QuietestCutFinder finder(channelCount, sampleRate, defaultWindows());
    feedChunks(state, finder, chunks);
    // The block sums held, after several minutes of input have gone through.
    state.counters["held_KiB"] = double(finder.heldBytes()) / 1024.0;
    state.counters["pieces"] = double(finder.closedRanges().size());
}

BENCHMARK_CAPTURE(processChunk, loud, Signal::Loud)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);
BENCHMARK_CAPTURE(processChunk, silent, Signal::Silent)
    ->ArgName("channels")
    ->Arg(1)
    ->Arg(2)
    ->Arg(6);
BENCHMARK_CAPTURE(processChunk, hiss, Signal::Hiss)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);
BENCHMARK_CAPTURE(processChunk, speech, Signal::Speech)
    ->ArgName("channels")
    ->Arg(1)
    ->Arg(2)
    ->Arg(6);
BENCHMARK_CAPTURE(quietest, loud, Signal::Loud)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);
BENCHMARK_CAPTURE(quietest, silent, Signal::Silent)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);
BENCHMARK_CAPTURE(quietest, hiss, Signal::Hiss)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);
BENCHMARK_CAPTURE(quietest, speech, Signal::Speech)->ArgName("channels")->Arg(1)->Arg(2)->Arg(6);

} // namespace

BENCHMARK_MAIN();
