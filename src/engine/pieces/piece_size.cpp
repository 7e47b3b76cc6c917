#include "pieces/piece_size.h"

#include "pieces/mp3_copy.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>

namespace brevane::detail {

namespace {

    // Wide enough for the bound of any 64-bit count of frames at any rate the pieces take.
    using Wide = __int128;

    Wide ceilDiv(Wide numerator, Wide denominator)
    {
        return (numerator + denominator - 1) / denominator;
    }

    // The samples of a piece of `frames` input frames at the pieces' rate. At the input's rate
    // they are the frames themselves. Across rates ffmpeg trims the default mode's piece to
    // its rounded duration after resampling, and resamples the one-pass piece whole, which
    // gives up to one sample more than the nearest count: the bound takes that sample too.
    Wide piecesSamples(std::int64_t frames, std::int64_t inputRate, std::int64_t pieceRate)
    {
        if (pieceRate == inputRate || inputRate <= 0)
            return frames;
        return (Wide(frames) * pieceRate * 2 + inputRate) / (Wide(inputRate) * 2) + 1;
    }

    // WAV, exact. RIFF header 12 bytes, "fmt " chunk 8 + 16, "data" chunk header 8, then 2
    // bytes a sample per channel. ffmpeg and the one-pass writer take the extensible form
    // (fmt 8 + 40) for a rate above 48 kHz or named speakers beyond stereo; it is counted for
    // every count beyond two, which leaves 24 bytes unused for channels that have no names.
    // There is no LIST chunk: ffmpeg writes none with "-fflags +bitexact" and no tags, and the
    // one-pass writer never does. A piece that might pass what RIFF sizes state reserves 36
    // bytes for RF64: ffmpeg's pieces where wavPieceNeedsRf64 says so for their own length,
    // the one-pass writer's where their longest piece passes the limit itself, which
    // wavPieceNeedsRf64 already says of this many samples.
    Wide wavBytes(const PieceEncoding& encoding, Wide samples)
    {
        const int formatBody = encoding.channelCount > 2 || encoding.sampleRate > 48000 ? 40 : 16;
        const bool rf64 = samples > std::numeric_limits<std::int64_t>::max()
            || wavPieceNeedsRf64(std::int64_t(samples), encoding.channelCount);
        return 12 + 8 + formatBody + 8 + (rf64 ? 36 : 0) + samples * 2 * encoding.channelCount;
    }

    // The block size of ffmpeg's FLAC encoder at its default compression level: the largest
    // of the format's block sizes within 105 ms, at least 192 (flacenc.c select_blocksize).
    std::int64_t flacBlockSize(std::int64_t rate)
    {
        static constexpr std::array<std::int64_t, 13> blockSizes { 192, 576, 1152, 2304, 4608, 256,
            512, 1024, 2048, 4096, 8192, 16384, 32768 };
        const std::int64_t target = rate * 105 / 1000;
        std::int64_t chosen = 192;
        for (const std::int64_t size : blockSizes) {
            if (size <= target)
                chosen = std::max(chosen, size);
        }
        return chosen;
    }

    // FLAC, an upper bound that no audio can pass. ffmpeg's encoder re-encodes a frame
    // verbatim whenever it comes out larger than ff_flac_get_max_frame_size(n, C, 16): a
    // 16-byte header allowance, 3 bytes of subframe header a channel, 16 bits a sample (33 a
    // stereo pair, whose side channel may take 17), and the 2-byte CRC. The verbatim frame is
    // never larger, so no frame is. All frames hold a block but the last, which holds the
    // rest. Before them: "fLaC" and STREAMINFO (42 bytes), the VORBIS_COMMENT block (4 + 14
    // with the vendor "ffmpeg" and no tags, plus at most 45 for the channel mask that ffmpeg
    // adds for a layout FLAC cannot state) and the 8196-byte PADDING block. There is no
    // SEEKTABLE, and the cover art is kept out ("-vn").
    Wide flacBytes(const PieceEncoding& encoding, Wide samples)
    {
        const int channels = encoding.channelCount;
        const int bitsPerFrame = channels == 2 ? 33 : 16 * channels;
        const auto frameBytes
            = [&](Wide n) { return 16 + 3 * channels + ceilDiv(bitsPerFrame * n, 8) + 2; };
        const std::int64_t blockSize = flacBlockSize(encoding.sampleRate);
        const Wide rest = samples % blockSize;
        return 42 + 4 + 14 + 45 + 4 + 8192 + samples / blockSize * frameBytes(blockSize)
            + (rest > 0 ? frameBytes(rest) : 0);
    }

    // The nearest of a table's bit rates (after its unused first entry), the lower on a tie.
    template <std::size_t Size>
    std::int64_t nearestRate(const std::array<std::int64_t, Size>& rates, std::int64_t wanted)
    {
        std::int64_t nearest = rates[1];
        for (std::size_t i = 2; i < Size; ++i) {
            if (std::llabs(rates[i] - wanted) < std::llabs(nearest - wanted))
                nearest = rates[i];
        }
        return nearest;
    }

    // MP3 at a constant bit rate, exact. libmp3lame is given the bit rate in whole kbit/s and
    // takes the nearest standard one, the lower on a tie (LAME's FindNearestBitrate), from the
    // table of MPEG-1 from 32 kHz, of MPEG-2 from 16 kHz, of MPEG-2.5 (up to 64k) below. A
    // frame of 1152 samples (576 below 32 kHz) at B bit/s and R Hz takes floor(144·B/R) bytes
    // (72 below 32 kHz), plus a padding byte on LAME's schedule: none in the first frame, and
    // ceil((k − 1)·(144·B mod R)/R) in the first k. The encoder's delay and flush make
    // ceil(N/1152) + 1 frames of N samples (ceil(N/576) + 2 below 32 kHz). Before them ffmpeg
    // writes the Info frame that holds the gapless information, at the standard rate nearest
    // the one asked for, raised until the frame holds the tag (mp3enc.c mp3_write_xing), and
    // with "-id3v2_version 0" no ID3 tag.
    Wide mp3Bytes(const PieceEncoding& encoding, Wide samples)
    {
        static constexpr std::array<std::int64_t, 15> mpeg1 { 0, 32, 40, 48, 56, 64, 80, 96, 112,
            128, 160, 192, 224, 256, 320 };
        static constexpr std::array<std::int64_t, 15> mpeg2 { 0, 8, 16, 24, 32, 40, 48, 56, 64, 80,
            96, 112, 128, 144, 160 };
        static constexpr std::array<std::int64_t, 9> mpeg25 { 0, 8, 16, 24, 32, 40, 48, 56, 64 };
        const std::int64_t rate = encoding.sampleRate;
        const bool isMpeg1 = rate >= 32000;
        const std::int64_t samplesPerFrame = isMpeg1 ? 1152 : 576;
        const std::int64_t coefficient = isMpeg1 ? 144 : 72;
        const std::array<std::int64_t, 15>& table = isMpeg1 ? mpeg1 : mpeg2;

        const std::int64_t kbps = encoding.bitRate / 1000;
        const std::int64_t bitRate
            = 1000 * (rate < 16000 ? nearestRate(mpeg25, kbps) : nearestRate(table, kbps));

        const bool mono = encoding.channelCount == 1;
        const std::int64_t tagOffset = 4 + (isMpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
        std::size_t index = 1;
        for (std::size_t i = 2; i < table.size(); ++i) {
            if (std::llabs(1000 * table[i] - encoding.bitRate)
                < std::llabs(1000 * table[index] - encoding.bitRate))
                index = i;
        }
        while (
            index + 1 < table.size() && coefficient * 1000 * table[index] / rate < tagOffset + 156)
            ++index;
        const std::int64_t infoFrame = coefficient * 1000 * table[index] / rate;

        const Wide frames = ceilDiv(samples, samplesPerFrame) + (isMpeg1 ? 1 : 2);
        const std::int64_t frameBytes = coefficient * bitRate / rate;
        const std::int64_t paddingRemainder = coefficient * bitRate % rate;
        return infoFrame + frames * frameBytes + ceilDiv((frames - 1) * paddingRemainder, rate);
    }

    // Ogg Opus at a constant bit rate ("-vbr off"), exact but for very large packets. Every
    // 20 ms packet is then padded to the same size, on silence too: floor(B/400) bytes,
    // where libopus raises B to 500 bit/s a channel, and at least one byte for each stream
    // and a length byte between streams (opus_multistream_encoder.c). ffmpeg's encoder adds the
    // encoder's lookahead (6.5 ms) before the samples and flushes whole packets. Each packet
    // takes floor(p/255) + 1 lacing values in its page, and each page a 27-byte header. A page
    // closes after a second of packets (50) when packets are below 1275 bytes; larger ones
    // close a page by its 255 lacing values or by its 65025 bytes, which leaves every page
    // but the last at least 256 − L of the L lacing values of each packet. Before the audio:
    // the OpusHead page (19 bytes of header; 21 + C beyond stereo) and the OpusTags page of
    // 46 bytes (vendor "ffmpeg", "encoder=Lavc libopus", no tags).
    constexpr int opusFfmpegTagPageBytes = 27 + 1 + 46;
    Wide opusBytes(const PieceEncoding& encoding, Wide samples)
    {
        // Streams for 1 to 8 channels in the Vorbis channel mappings, stereo pairs coupled.
        static constexpr std::array<int, 8> streamsFor { 1, 1, 2, 2, 3, 4, 5, 5 };
        const int channels = encoding.channelCount;
        const std::int64_t rate = encoding.sampleRate;
        const int streams = streamsFor[std::size_t(std::clamp(channels, 1, 8) - 1)];
        const std::int64_t bitRate = std::max<std::int64_t>(encoding.bitRate, 500 * channels);
        const Wide packetBytes = std::max<std::int64_t>(2 * streams - 1, bitRate / 400);
        const Wide lacing = packetBytes / 255 + 1;
        const Wide packets = ceilDiv(samples + rate * 13 / 2000, rate / 50);
        const Wide pages
            = packetBytes < 1275 ? ceilDiv(packets, 50) : ceilDiv(packets * lacing, 256 - lacing);
        const int headBytes = channels <= 2 ? 19 : 21 + channels;
        return (27 + 1 + headBytes) + opusFfmpegTagPageBytes + packets * (packetBytes + lacing)
            + 27 * pages;
    }

    // Tagged pieces (tagBytes > 0): the ID3v2 tag before an MP3's first frame, the comments and
    // picture that FLAC's padding grows by, an Opus comment header's pages in place of ffmpeg's.
    Wide bytesBound(const PieceEncoding& encoding, Wide samples)
    {
        switch (encoding.format) {
        case PieceFormat::Flac:
            return flacBytes(encoding, samples) + encoding.tagBytes;
        case PieceFormat::Mp3:
            return mp3Bytes(encoding, samples) + encoding.tagBytes;
        case PieceFormat::Opus:
            return opusBytes(encoding, samples)
                + (encoding.tagBytes > 0 ? encoding.tagBytes - opusFfmpegTagPageBytes : 0);
        case PieceFormat::Wav:
        case PieceFormat::Copy:
            break;
        }
        return wavBytes(encoding, samples);
    }

} // namespace

namespace {

    // Every bound grows with the frames, so the largest count that fits is found by halving.
    template <typename Fits> std::int64_t mostFramesThat(const Fits& fits)
    {
        std::int64_t fitting = 0;
        std::int64_t tooMany = std::numeric_limits<std::int64_t>::max();
        if (fits(tooMany))
            return tooMany;
        while (tooMany - fitting > 1) {
            const std::int64_t middle = fitting + (tooMany - fitting) / 2;
            (fits(middle) ? fitting : tooMany) = middle;
        }
        return fitting;
    }

} // namespace

std::int64_t mostFramesWithin(
    const PieceEncoding& encoding, std::int64_t inputRate, std::int64_t maxBytes)
{
    return mostFramesThat([&](std::int64_t frames) {
        return bytesBound(encoding, piecesSamples(frames, inputRate, encoding.sampleRate))
            <= maxBytes;
    });
}

// Bounded by frames the size of the largest the stream may hold, for every frame the piece may
// take besides those of its range (Mp3CopyWriter::mostBytes).
std::int64_t mostCopiedFramesWithin(
    const Mp3Index& index, std::int64_t tagBytes, std::int64_t maxBytes)
{
    return mostFramesThat([&](std::int64_t frames) {
        // Beyond any stream's length, and clear of overflow in the bound.
        return frames < (std::int64_t(1) << 50)
            && Mp3CopyWriter::mostBytes(index, frames, tagBytes) <= maxBytes;
    });
}

} // namespace brevane::detail
