// The boundary detector over random frames (NaN, infinities, denormals and values around the
// silence level included) and random windows, fed in random chunk splits: the ranges and the
// kinds of their ends are those of the same bytes fed in one piece, they agree with a plain
// frame-by-frame model of the cut rule, and they hold the invariants the extraction relies on.
// The quietest-stretch finder gets the same frames and agrees with its own whole-input model.

#include "cut_model.h"
#include "cuts/boundary_detector.h"
#include "cuts/frame_windows.h"
#include "cuts/quietest_finder.h"
#include "fuzz_support.h"
#include "quietest_model.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <climits>
#include <cstring>
#include <limits>
#include <vector>

using brevane::detail::AnalysisResult;
using brevane::detail::BoundaryDetector;
using brevane::detail::FrameWindows;
using brevane::detail::InternalSegment;
using brevane::detail::QuietestCutFinder;
using testsupport::CutModel;
using testsupport::ModelRange;

namespace {

// Keeps one input to a few milliseconds.
constexpr std::int64_t maxSamplesPerInput = 1 << 16;

// Values on and around every decision the level makes, and the ones that break arithmetic.
float drawSample(int kind, FuzzedDataProvider& in)
{
    static const float special[] = { std::numeric_limits<float>::quiet_NaN(),
        -std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min(), -1e-40f,
        FLT_MIN, -0.0f, FLT_MAX, -FLT_MAX };
    switch (kind) {
    case 0:
        return 0.0f;
    case 1:
        return in.ConsumeBool() ? 0.5f : -0.5f;
    case 2: // quiet noise straddling the silence level
        return float(in.ConsumeIntegralInRange<int>(-1000, 1000)) * 1e-5f;
    case 3: { // the floats nearest to the level itself
        float value = 0.005f;
        for (int step = in.ConsumeIntegralInRange<int>(-3, 3); step != 0; step += step < 0 ? 1 : -1)
            value = std::nextafter(value, step < 0 ? 0.0f : 1.0f);
        return value;
    }
    case 4:
        return special[in.ConsumeIntegralInRange<std::size_t>(0, std::size(special) - 1)];
    default: { // any bit pattern
        const std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    }
}

constexpr int sampleKinds = 6;

FrameWindows drawWindows(FuzzedDataProvider& in)
{
    // As computeFrameWindows derives them: minFrames <= targetFrames <= maxFrames, all
    // positive, and at least one frame of silence; occasionally as large as it allows, where
    // any arithmetic on a window could overflow.
    FrameWindows windows;
    windows.minSilenceFrames = in.ConsumeIntegralInRange<std::int64_t>(1, 40);
    windows.minFrames = in.ConsumeIntegralInRange<std::int64_t>(1, 200);
    windows.targetFrames = windows.minFrames + in.ConsumeIntegralInRange<std::int64_t>(0, 100);
    windows.maxFrames = windows.targetFrames + in.ConsumeIntegralInRange<std::int64_t>(0, 100);
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max() - 1024;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        windows.maxFrames = huge;
        break;
    case 1:
        windows.targetFrames = windows.maxFrames = huge;
        break;
    case 2:
        windows.minFrames = windows.targetFrames = windows.maxFrames = huge;
        windows.minSilenceFrames = huge / 2;
        break;
    default:
        break;
    }
    return windows;
}

// Chunk sizes from one byte (every sample split) to several frames, from a generator of
// their own so that they do not take bytes from the frames.
class ChunkSizes {
public:
    explicit ChunkSizes(std::uint64_t seed)
        : m_state(seed)
    {
    }
    qsizetype next()
    {
        const std::uint64_t value = step();
        switch (value % 4) {
        case 0:
            return 1;
        case 1:
            return qsizetype(1 + (value >> 8) % 7);
        case 2:
            return qsizetype(1 + (value >> 8) % 100);
        default:
            return qsizetype(1 + (value >> 8) % 5000);
        }
    }

private:
    std::uint64_t step()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t m_state;
};

struct Outcome {
    bool ok = false;
    AnalysisResult result;
    QString error;
};

// Feeds stream as the decode pipe does: append a chunk, processChunk, and once more at the end.
Outcome analyse(
    const QByteArray& stream, int channelCount, const FrameWindows& windows, ChunkSizes* chunks)
{
    BoundaryDetector detector(channelCount, windows);
    const std::int64_t frameBytes = std::int64_t(channelCount) * 4;
    QByteArray pcmBuffer;
    qsizetype fed = 0;
    while (fed < stream.size()) {
        const qsizetype size
            = chunks ? std::min(chunks->next(), stream.size() - fed) : stream.size();
        pcmBuffer.append(stream.constData() + fed, size);
        fed += size;
        detector.processChunk(pcmBuffer);
        // Every whole frame is consumed at once; only an unfinished one waits.
        FUZZ_CHECK(pcmBuffer.size() == fed % frameBytes,
            "%lld bytes left after %lld bytes fed, frames of %lld bytes",
            (long long)pcmBuffer.size(), (long long)fed, (long long)frameBytes);
    }
    detector.processChunk(pcmBuffer);

    Outcome outcome;
    outcome.ok = detector.finishAnalysis(&outcome.result, &outcome.error);
    return outcome;
}

void checkRanges(const CutModel& model, const FrameWindows& windows)
{
    const std::vector<ModelRange>& ranges = model.ranges();
    std::int64_t expectedStart = 0;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const ModelRange& range = ranges[i];
        FUZZ_CHECK(range.start == expectedStart, "range %zu starts at %lld, not %lld", i,
            (long long)range.start, (long long)expectedStart);
        FUZZ_CHECK(range.end > range.start, "range %zu is empty", i);
        FUZZ_CHECK(range.end - range.start <= windows.maxFrames, "range %zu is longer than %lld", i,
            (long long)windows.maxFrames);
        if (range.kind == brevane::CutKind::Forced)
            FUZZ_CHECK(range.end - range.start == windows.maxFrames,
                "forced range %zu has %lld frames, not %lld", i,
                (long long)(range.end - range.start), (long long)windows.maxFrames);
        else if (range.kind == brevane::CutKind::Silence)
            // A cut in silence lies in the middle of a silent run, so on a silent frame.
            FUZZ_CHECK(model.silentFrames()[std::size_t(range.end)],
                "range %zu is cut in silence at loud frame %lld", i, (long long)range.end);
        expectedStart = range.end;
    }
    FUZZ_CHECK(expectedStart == model.frames(), "the ranges end at %lld of %lld frames",
        (long long)expectedStart, (long long)model.frames());
}

// The quietest rule over the same frames, fed in chunks, against its whole-input model.
void checkQuietest(const QByteArray& stream, const std::vector<float>& samples, int channelCount,
    const FrameWindows& windows, std::int64_t sampleRate, ChunkSizes* chunks)
{
    QuietestCutFinder finder(channelCount, sampleRate, windows);
    QByteArray pcmBuffer;
    for (qsizetype fed = 0; fed < stream.size();) {
        const qsizetype size = std::min(chunks->next(), stream.size() - fed);
        pcmBuffer.append(stream.constData() + fed, size);
        fed += size;
        finder.processChunk(pcmBuffer);
    }
    finder.processChunk(pcmBuffer);
    AnalysisResult result;
    const bool ok = finder.finishAnalysis(&result, nullptr);
    const QList<InternalSegment> expected
        = testsupport::quietestModelRanges(samples, channelCount, sampleRate, windows);
    FUZZ_CHECK(ok == !expected.isEmpty() && (!ok || result.segments == expected),
        "quietest rule at %lld Hz: %lld ranges, the model has %lld", (long long)sampleRate,
        (long long)result.segments.size(), (long long)expected.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    // Mostly real layouts; now and then any channel count a crafted file can declare.
    const int channelCount = in.ConsumeProbability<float>() < 0.9f
        ? in.ConsumeIntegralInRange<int>(1, 8)
        : in.ConsumeIntegralInRange<int>(1, INT_MAX);
    const FrameWindows windows = drawWindows(in);
    ChunkSizes chunks(in.ConsumeIntegral<std::uint64_t>());

    CutModel model(channelCount, windows);
    std::vector<float> samples;
    const std::int64_t frameLimit = maxSamplesPerInput / channelCount;
    std::vector<float> frame(frameLimit > 0 ? std::size_t(channelCount) : 0);
    // Runs of frames of one kind, so that silences and sounds of any length come about.
    while (in.remaining_bytes() > 0 && model.frames() < frameLimit) {
        const int kind = in.ConsumeIntegralInRange<int>(0, sampleKinds);
        const int runLength = in.ConsumeIntegralInRange<int>(1, 64);
        for (int n = 0; n < runLength && model.frames() < frameLimit; ++n) {
            for (float& sample : frame)
                // The last kind gives every channel a kind of its own.
                sample = drawSample(
                    kind == sampleKinds ? in.ConsumeIntegralInRange<int>(0, sampleKinds - 1) : kind,
                    in);
            model.addFrame(frame.data());
            samples.insert(samples.end(), frame.begin(), frame.end());
        }
    }
    model.finish();

    QByteArray stream(
        reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * sizeof(float)));
    // A decoder may stop inside a frame; those bytes are never analysed.
    const std::int64_t frameBytes = std::int64_t(channelCount) * 4;
    const std::vector<char> tail = in.ConsumeBytes<char>(
        std::size_t(std::min<std::int64_t>(frameBytes - 1, in.ConsumeIntegralInRange(0, 64))));
    stream.append(tail.data(), qsizetype(tail.size()));

    const Outcome whole = analyse(stream, channelCount, windows, nullptr);
    const Outcome split = analyse(stream, channelCount, windows, &chunks);
    // Rates whose 10 ms blocks hold 1 to 44 frames.
    checkQuietest(stream, samples, channelCount, windows,
        in.ConsumeIntegralInRange<std::int64_t>(1, 4410), &chunks);

    FUZZ_CHECK(whole.ok == (model.frames() > 0), "%lld frames, finishAnalysis %s",
        (long long)model.frames(), whole.ok ? "succeeded" : "failed");
    if (!whole.ok) {
        FUZZ_CHECK(whole.error == QLatin1String("Audio decoding produced no samples"),
            "unexpected message \"%s\"", whole.error.toUtf8().constData());
        FUZZ_CHECK(!split.ok && split.error == whole.error, "the split feed disagrees");
        return 0;
    }

    FUZZ_CHECK(split.ok && split.result.segments == whole.result.segments
            && split.result.totalFrames == whole.result.totalFrames,
        "ranges differ between one piece (%lld) and chunks (%lld)",
        (long long)whole.result.segments.size(), (long long)split.result.segments.size());
    FUZZ_CHECK(whole.result.totalFrames == model.frames(), "%lld frames counted, %lld fed",
        (long long)whole.result.totalFrames, (long long)model.frames());

    const std::vector<ModelRange>& expected = model.ranges();
    FUZZ_CHECK(std::size_t(whole.result.segments.size()) == expected.size(),
        "%lld ranges, the model has %zu", (long long)whole.result.segments.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const InternalSegment& got = whole.result.segments[qsizetype(i)];
        FUZZ_CHECK(got.startFrame == expected[i].start && got.endFrame == expected[i].end
                && got.kind == expected[i].kind,
            "range %zu is {%lld, %lld, kind %d}, the model has {%lld, %lld, kind %d}", i,
            (long long)got.startFrame, (long long)got.endFrame, int(got.kind),
            (long long)expected[i].start, (long long)expected[i].end, int(expected[i].kind));
    }
    checkRanges(model, windows);
    return 0;
}
