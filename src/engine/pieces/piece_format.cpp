#include "pieces/piece_format.h"

#include "error_text.h"
#include "input/channel_layout.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cstdlib>

namespace brevane::detail {

namespace {

    constexpr std::int64_t lowestPieceRate = 8000;
    constexpr std::int64_t highestPieceRate = 384000;
    constexpr int mostPieceChannels = 64;
    // libopus takes at most this many bits per second for each channel.
    constexpr std::int64_t opusBitsPerChannel = 256000;

    struct FormatTraits {
        const char* name; // in messages
        const char* suffix;
        const char* encoder;
        std::int64_t defaultBitRate;
        BitRateRange bitRates;
        // 0: as many as WAV holds.
        int mostChannels;
    };

    const FormatTraits& traitsOf(PieceFormat format)
    {
        // MP3: the lowest rate of MPEG-2.5 and the highest of MPEG-1; LAME takes the nearest
        // standard rate of the pieces' MPEG version. Opus: libopus's range for 8 channels.
        static const FormatTraits wav { "WAV", "wav", "pcm_s16le", 0, {}, 0 };
        static const FormatTraits flac { "FLAC", "flac", "flac", 0, {}, 8 };
        static const FormatTraits mp3 { "MP3", "mp3", "libmp3lame", 128000, { 8000, 320000 }, 2 };
        static const FormatTraits opus { "Opus", "opus", "libopus", 96000,
            { 500, 8 * opusBitsPerChannel }, 8 };
        // No encoder: the input's own frames.
        static const FormatTraits copy { "MP3", "mp3", "", 0, {}, 2 };
        switch (format) {
        case PieceFormat::Copy:
            return copy;
        case PieceFormat::Flac:
            return flac;
        case PieceFormat::Mp3:
            return mp3;
        case PieceFormat::Opus:
            return opus;
        case PieceFormat::Wav:
            break;
        }
        return wav;
    }

    // The rate ffmpeg gives an encoder's output when it is told none: the nearest of those the
    // encoder lists, the first listed on a tie (as libavfilter negotiates it). An encoder that
    // lists none takes any rate.
    std::int64_t encoderRateNearest(const char* encoder, std::int64_t rate)
    {
        const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
        if (!codec || !codec->supported_samplerates)
            return rate;
        std::int64_t nearest = rate;
        std::int64_t nearestDistance = -1;
        for (const int* listed = codec->supported_samplerates; *listed != 0; ++listed) {
            const std::int64_t distance = std::llabs(*listed - rate);
            if (nearestDistance < 0 || distance < nearestDistance) {
                nearest = *listed;
                nearestDistance = distance;
            }
        }
        return nearest;
    }

    // The rates ffmpeg's FLAC encoder can state in a frame header: whole kilohertz below
    // 255 kHz, tens of hertz below 655350 Hz, or any rate below 65535 Hz (its table of common
    // rates holds none beyond these).
    bool flacStatesRate(std::int64_t rate)
    {
        return (rate % 1000 == 0 && rate < 255000) || (rate % 10 == 0 && rate < 655350)
            || rate < 65535;
    }

    // ffmpeg remixes one channel count into another only from named speakers into named
    // speakers: from the input's layout (or the default one for its count, which ffmpeg takes
    // for an input that names none) into the default layout of the pieces' count. Any other
    // change of count fails in ffmpeg, and only once the whole input has been analysed, so it
    // is refused here. The one-pass encoders learn the input's speakers from a WAV scratch
    // file, which names none from 0x40000 on; such a layout counts as unnamed in both modes,
    // so that both refuse alike.
    bool checkRemix(
        const StreamInfo& stream, int pieceChannels, int mostChannels, QString* errorMessage)
    {
        constexpr std::uint64_t wavSpeakers = 0x40000;
        const bool inputNamed = stream.channelMask != 0
            && (stream.channelMask < wavSpeakers || countHasDefaultLayout(stream.channelCount));
        if (inputNamed && countHasDefaultLayout(pieceChannels))
            return true;
        QString reason;
        QString hint;
        if (!inputNamed) {
            reason = trText("the input does not name its speakers");
            // The input's own count needs no remix, where the format holds it.
            hint = mostChannels == 0 || stream.channelCount <= mostChannels
                ? QStringLiteral("--channels %1").arg(stream.channelCount)
                : QStringLiteral("--format wav");
        } else {
            int named = pieceChannels;
            while (named > 1 && !countHasDefaultLayout(named))
                --named;
            reason = trText("ffmpeg names no speakers for %1 channels").arg(pieceChannels);
            hint = QStringLiteral("--channels %1").arg(named);
        }
        return fail(errorMessage,
            trText("Cannot remix %1 channels into %2: %3 (try %4)")
                .arg(QString::number(stream.channelCount), QString::number(pieceChannels), reason,
                    hint));
    }

    bool inRange(std::int64_t value, std::int64_t lowest, std::int64_t highest)
    {
        return value >= lowest && value <= highest;
    }

    bool validOptions(const SplitOptions& options)
    {
        const BitRateRange bitRates = bitRateRange(options.format);
        return (options.bitRate == 0 || inRange(options.bitRate, bitRates.lowest, bitRates.highest))
            && (options.sampleRate == 0
                || inRange(options.sampleRate, lowestPieceRate, highestPieceRate))
            && (options.channelCount == 0 || inRange(options.channelCount, 1, mostPieceChannels))
            && options.maxPieceBytes >= 0;
    }

    // Under a size limit every byte of a piece is counted before it is written, so nothing
    // the input holds beside its audio may reach the file: its tags ("-map_metadata -1"), its
    // chapters (ID3 CHAP frames, Vorbis CHAPTER comments) and, with "-fflags +bitexact", the
    // version strings ffmpeg adds (the WAV LIST chunk, ID3 TSSE, the FLAC and Ogg vendor).
    // MP3 pieces then take no ID3 tag at all, unless they are tagged: their gapless
    // information is in the Info frame, which stays. Opus pieces take a constant bit rate, as
    // a variable one, constrained or not, has no limit per packet.
    // Tagged pieces take none of the input's tags or chapters from ffmpeg either: brevane writes
    // their tags afterwards, into room that ffmpeg leaves for them before the audio, an empty
    // ID3v2.3 tag of tagBytes or FLAC padding that holds tagBytes beside its usual 8192 bytes.
    // An Opus piece's comment header is made anew, as ffmpeg's Ogg writer leaves no room.
    QStringList metadataArguments(const PieceEncoding& encoding)
    {
        QStringList arguments;
        if (encoding.sizeBounded || encoding.tagBytes > 0)
            arguments << QStringLiteral("-map_metadata") << QStringLiteral("-1")
                      << QStringLiteral("-map_chapters") << QStringLiteral("-1");
        if (encoding.sizeBounded)
            arguments << QStringLiteral("-fflags") << QStringLiteral("+bitexact");
        const bool tagged = encoding.tagBytes > 0;
        if (encoding.format == PieceFormat::Mp3 && tagged)
            arguments << QStringLiteral("-id3v2_version") << QStringLiteral("3")
                      << QStringLiteral("-metadata_header_padding")
                      << QString::number(encoding.tagBytes - 10);
        else if (encoding.format == PieceFormat::Mp3 && encoding.sizeBounded)
            arguments << QStringLiteral("-id3v2_version") << QStringLiteral("0");
        if (encoding.format == PieceFormat::Flac && tagged)
            arguments << QStringLiteral("-metadata_header_padding")
                      << QString::number(flacPaddingBytes + encoding.tagBytes);
        if (encoding.format == PieceFormat::Opus && encoding.sizeBounded)
            arguments << QStringLiteral("-vbr") << QStringLiteral("off");
        return arguments;
    }

    // What a user would type for the bit rate.
    QString bitRateText(std::int64_t bitRate)
    {
        return bitRate % 1000 == 0 ? QString::number(bitRate / 1000) + QLatin1Char('k')
                                   : QString::number(bitRate);
    }

} // namespace

PieceEncoding inputWavEncoding(const StreamInfo& stream)
{
    return { PieceFormat::Wav, 0, stream.sampleRate, stream.channelCount };
}

QString pieceSuffix(PieceFormat format) { return QString::fromLatin1(traitsOf(format).suffix); }

bool choosePieceEncoding(const SplitOptions& options, const StreamInfo& stream,
    PieceEncoding* encoding, QString* errorMessage)
{
    if (!validOptions(options))
        return fail(errorMessage, trText("Invalid piece format options"));
    const FormatTraits& traits = traitsOf(options.format);
    PieceEncoding chosen;
    chosen.format = options.format;
    // The input's frames as they are: its rate, channels and bit rate.
    if (options.format == PieceFormat::Copy) {
        if (options.bitRate != 0 || options.sampleRate != 0 || options.channelCount != 0)
            return fail(errorMessage,
                trText("--format copy keeps the input's rate, channels and bit rate"));
        chosen.sampleRate = stream.sampleRate;
        chosen.channelCount = stream.channelCount;
        chosen.sizeBounded = options.maxPieceBytes > 0;
        *encoding = chosen;
        return true;
    }

    chosen.channelCount = options.channelCount > 0 ? options.channelCount : stream.channelCount;
    if (traits.mostChannels > 0 && chosen.channelCount > traits.mostChannels) {
        const QString asked = options.channelCount > 0
            ? trText("--channels asks for %1").arg(chosen.channelCount)
            : trText("the input has %1").arg(chosen.channelCount);
        return fail(errorMessage,
            trText("%1 pieces hold at most %2 channels; %3 (try --channels %2)")
                .arg(QString::fromLatin1(traits.name))
                .arg(traits.mostChannels)
                .arg(asked));
    }
    if (chosen.channelCount != stream.channelCount
        && !checkRemix(stream, chosen.channelCount, traits.mostChannels, errorMessage))
        return false;
    chosen.keepsInputLayout = chosen.channelCount == stream.channelCount && keepsOwnLayout(stream);

    const std::int64_t rate = options.sampleRate > 0 ? options.sampleRate : stream.sampleRate;
    chosen.sampleRate = encoderRateNearest(traits.encoder, rate);
    if (options.format == PieceFormat::Flac && !flacStatesRate(chosen.sampleRate)) {
        const std::int64_t suggested = std::min((rate + 5) / 10 * 10, highestPieceRate);
        return fail(errorMessage,
            trText("FLAC pieces cannot have a sample rate of %1 Hz (try --rate %2)")
                .arg(rate)
                .arg(suggested));
    }

    chosen.bitRate = options.bitRate > 0 ? options.bitRate : traits.defaultBitRate;
    const std::int64_t mostOpusBits = opusBitsPerChannel * chosen.channelCount;
    if (options.format == PieceFormat::Opus && chosen.bitRate > mostOpusBits)
        return fail(errorMessage,
            trText("Opus pieces take at most %1 per channel; these have %2 (try --bitrate %3)")
                .arg(bitRateText(opusBitsPerChannel))
                .arg(chosen.channelCount)
                .arg(bitRateText(mostOpusBits)));

    chosen.sizeBounded = options.maxPieceBytes > 0;
    *encoding = chosen;
    return true;
}

bool needsEncoder(const PieceEncoding& encoding, const StreamInfo& stream)
{
    return encoding.format != PieceFormat::Wav || encoding.sampleRate != stream.sampleRate
        || encoding.channelCount != stream.channelCount;
}

QStringList encoderArguments(const PieceEncoding& encoding, bool setChannels)
{
    QStringList arguments { QStringLiteral("-acodec"),
        QString::fromLatin1(traitsOf(encoding.format).encoder) };
    switch (encoding.format) {
    case PieceFormat::Flac:
        // ffmpeg's FLAC encoder would otherwise keep up to 24 bits of a wider input; the pieces
        // hold the 16-bit samples of the WAV pieces.
        arguments << QStringLiteral("-sample_fmt") << QStringLiteral("s16");
        break;
    case PieceFormat::Mp3:
    case PieceFormat::Opus:
        arguments << QStringLiteral("-b:a") << bitRateText(encoding.bitRate);
        break;
    case PieceFormat::Wav:
    case PieceFormat::Copy:
        break;
    }
    // libopus takes 3 and 4 channels only in the Vorbis layouts (3.0 and quad), not in the
    // ones "-ac" gives (2.1 and 4.0). The channels are made as "-ac" makes them for the other
    // formats, then named for Opus, so that every channel keeps its samples.
    if (encoding.format == PieceFormat::Opus
        && (encoding.channelCount == 3 || encoding.channelCount == 4)) {
        arguments << QStringLiteral("-af")
                  << (encoding.channelCount == 3
                             ? QStringLiteral("aformat=channel_layouts=2.1,"
                                              "channelmap=channel_layout=3.0")
                             : QStringLiteral("aformat=channel_layouts=4.0,"
                                              "channelmap=channel_layout=quad"));
    } else if (setChannels && !encoding.keepsInputLayout) {
        arguments << QStringLiteral("-ac") << QString::number(encoding.channelCount);
    }
    arguments << QStringLiteral("-ar") << QString::number(encoding.sampleRate);
    // ffmpeg's FLAC and MP3 writers would take an input's cover art as a video stream: the
    // first piece would carry it, and every later piece, cut after the picture, would be held
    // whole in memory waiting for it. WAV and Ogg Opus take no video.
    if (encoding.format == PieceFormat::Flac || encoding.format == PieceFormat::Mp3)
        arguments << QStringLiteral("-vn");
    arguments << metadataArguments(encoding);
    return arguments;
}

bool wavPieceNeedsRf64(std::int64_t samples, int channelCount, std::int64_t tagBytes)
{
    // ffmpeg's WAV header: RIFF, fmt (at most 48 bytes), a LIST chunk naming the encoder and
    // holding the input's tags, and the data chunk's own 8 bytes.
    constexpr std::int64_t headerBytesBeyondTags = 1024;
    std::int64_t fileBytes = 0;
    if (samples < 0 || tagBytes < 0
        || __builtin_mul_overflow(samples, std::int64_t(channelCount) * 2, &fileBytes)
        || __builtin_add_overflow(fileBytes, headerBytesBeyondTags + tagBytes, &fileBytes))
        return true;
    return fileBytes - 8 > std::int64_t(0xFFFFFFFF);
}

std::int64_t samplesAtRate(std::int64_t frames, std::int64_t inputRate, std::int64_t pieceRate)
{
    if (inputRate == pieceRate || inputRate <= 0)
        return frames;
    const __int128 scaled = __int128(frames) * pieceRate * 2 + inputRate;
    return std::int64_t(scaled / (__int128(inputRate) * 2));
}

} // namespace brevane::detail

namespace brevane {

BitRateRange bitRateRange(PieceFormat format) { return detail::traitsOf(format).bitRates; }

} // namespace brevane
