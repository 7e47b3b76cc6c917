#include "brevane.h"
#include "cut_report.h"
#include "duration_parser.h"
#include "level_parser.h"
#include "piece_option_parser.h"
#include "progress_line.h"
#include "signal_stop.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <type_traits>

#include <fcntl.h>
#include <unistd.h>

namespace {

void printError(const QString& message)
{
    QTextStream err(stderr);
    err << message;
    err.flush();
}

int failWith(const QString& message)
{
    printError(message);
    return 1;
}

QString defaultOutputDir(const QFileInfo& input)
{
    return input.dir().filePath(input.completeBaseName() + QStringLiteral("_parts"));
}

QString resultLines(const QList<brevane::Segment>& segments)
{
    QString text;
    QTextStream out(&text);
    for (const brevane::Segment& segment : segments) {
        out << segment.filePath << '\t' << brevane::formatDuration(segment.startSeconds) << " - "
            << brevane::formatDuration(segment.endSeconds) << '\n';
    }
    return text;
}

// The same pieces for a program to read: seconds as frame / rate, written so that they read
// back to the same doubles, the frames themselves, and how each end was chosen.
QString jsonDocument(const QString& inputPath, const brevane::StreamFormat& format,
    const QList<brevane::Segment>& segments)
{
    QJsonArray pieces;
    for (const brevane::Segment& segment : segments) {
        const brevane::PieceSeconds seconds = brevane::pieceSeconds(segment, format.sampleRate);
        pieces.append(QJsonObject { { QStringLiteral("path"), segment.filePath },
            { QStringLiteral("start"), seconds.start }, { QStringLiteral("end"), seconds.end },
            { QStringLiteral("startFrame"), qint64(segment.startFrame) },
            { QStringLiteral("endFrame"), qint64(segment.endFrame) },
            { QStringLiteral("cut"), brevane::cutKindName(segment.cut) } });
    }
    const QJsonObject document { { QStringLiteral("input"), inputPath },
        { QStringLiteral("sampleRate"), qint64(format.sampleRate) },
        { QStringLiteral("channels"), format.channelCount }, { QStringLiteral("pieces"), pieces } };
    return QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented));
}

// A standard stream that the program was started without is held open on /dev/null, so that
// no file the run opens can take its number and receive what was meant for the stream.
// Returns whether standard output was among them.
bool holdClosedStandardStreams()
{
    bool outputClosed = false;
    for (const int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO }) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            outputClosed = outputClosed || fd == STDOUT_FILENO;
            ::open("/dev/null", O_RDWR);
        }
    }
    return outputClosed;
}

// Writes the result on standard output; 0, or the system's error number. The result is the
// whole point of a run, so a full disk or a closed output must not pass for success.
int writeResult(const QString& text, bool outputClosed)
{
    if (outputClosed)
        return EBADF;
    // A pipe whose reader has gone would end the program by SIGPIPE, without a word; ignored, the
    // write fails with EPIPE and the run says so. It stays ignored to the end, so that the message
    // may meet the same pipe. No ffmpeg child is started from here on to inherit it.
    ::signal(SIGPIPE, SIG_IGN);
    const QByteArray bytes = text.toUtf8();
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written
            = ::write(STDOUT_FILENO, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += written;
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool outputClosed = holdClosedStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brevane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QObject::tr("Split audio files into silence-aware segments"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption inputOption(
        QStringLiteral("input"), QObject::tr("Audio file to split"), QStringLiteral("file"));
    const QCommandLineOption anyInputOption(QStringLiteral("any-input"),
        QObject::tr("Accept any file whose audio ffmpeg can decode, whatever its name"));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QObject::tr("Directory for output segments"), QStringLiteral("dir"));
    const QCommandLineOption maxOption(QStringLiteral("max"), QObject::tr("Maximum segment length"),
        QStringLiteral("duration"), QStringLiteral("5m"));
    const QCommandLineOption toleranceOption(QStringLiteral("tolerance"),
        QObject::tr("Tolerance window"), QStringLiteral("duration"), QStringLiteral("1m"));
    const QCommandLineOption cutAtOption(QStringLiteral("cut-at"),
        QObject::tr("Where to cut: silence (the default: in the middle of a pause below the "
                    "silence level; for clean recordings) or quietest (where the --min-silence "
                    "stretch is quietest within the tolerance, on a 10 ms grid; no level needed, "
                    "for noisy speech or music)"),
        QStringLiteral("rule"), QStringLiteral("silence"));
    const QCommandLineOption silenceLevelOption(QStringLiteral("silence-level"),
        QObject::tr("Level below which a frame is silent: a mean absolute sample value such as "
                    "0.005, or decibels such as -46dB"),
        QStringLiteral("level"), QStringLiteral("0.005"));
    const QCommandLineOption minSilenceOption(QStringLiteral("min-silence"),
        QObject::tr("Shortest pause that offers a cut; with --cut-at quietest, the length of "
                    "the stretches compared"),
        QStringLiteral("duration"), QStringLiteral("500ms"));
    const QCommandLineOption onePassOption(QStringLiteral("one-pass"),
        QObject::tr("Write the pieces from the same decode as the analysis (much faster on "
                    "long files)"));
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"),
        QObject::tr("Find the cuts and print the pieces, but write nothing"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
        QObject::tr("Print the pieces as one JSON document: each piece's path, its start and end "
                    "(seconds and frames), and how it was cut (\"cut\": silence, quietest, "
                    "forced or end)"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
        QObject::tr("File format of the pieces: wav (16-bit PCM), flac (the same samples, "
                    "lossless), mp3 or opus (Ogg Opus), or copy (for an MP3 input: MP3 pieces "
                    "made of its own frames, not encoded again, each cut moved to the nearest "
                    "frame boundary)"),
        QStringLiteral("format"), QStringLiteral("wav"));
    const QCommandLineOption bitrateOption(QStringLiteral("bitrate"),
        QObject::tr("Bit rate of mp3 and opus pieces, in bits per second with k for thousands "
                    "(default: 128k for mp3, 96k for opus)"),
        QStringLiteral("rate"));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
        QObject::tr("Sample rate of the pieces in Hz, 8000 to 384000 (default: the input's)"),
        QStringLiteral("hz"));
    const QCommandLineOption channelsOption(QStringLiteral("channels"),
        QObject::tr("Channel count of the pieces, 1 to 64 (default: the input's)"),
        QStringLiteral("count"));
    const QCommandLineOption maxSizeOption(QStringLiteral("max-size"),
        QObject::tr("Largest size of a piece file, whatever the audio holds: bytes, or with k, "
                    "M, G (kB, MB, GB: powers of 1000) or KiB, MiB, GiB; the pieces are "
                    "shortened to fit"),
        QStringLiteral("size"));
    const QCommandLineOption nameOption(QStringLiteral("name"),
        QObject::tr("File name of each piece without its suffix: {n} the piece number (3 digits, "
                    "or W with {n:W}), {stem} the input's name without its suffix, {{ and }} "
                    "braces (default: part_{n})"),
        QStringLiteral("template"), QStringLiteral("part_{n}"));
    const QCommandLineOption tagsOption(QStringLiteral("tags"),
        QObject::tr(
            "Tag the pieces (flac, mp3, opus, copy) for players: the input's tags and cover, "
            "track n/N, title \"TITLE (n/N)\" and the album"));
    const QCommandLineOption manifestOption(QStringLiteral("manifest"),
        QObject::tr("After a successful run, append one JSON line per piece to this file "
                    "(audio_filepath, duration, offset, source, source_offset, cut); with "
                    "--dry-run, the input's ranges"),
        QStringLiteral("file"));
    const QCommandLineOption skipDoneOption(QStringLiteral("skip-done"),
        QObject::tr("Record a finished run in its output folder, and skip an input already "
                    "split with the same options: print its pieces, decode nothing"));
    parser.addOption(inputOption);
    parser.addOption(anyInputOption);
    parser.addOption(outOption);
    parser.addOption(maxOption);
    parser.addOption(toleranceOption);
    parser.addOption(cutAtOption);
    parser.addOption(silenceLevelOption);
    parser.addOption(minSilenceOption);
    parser.addOption(onePassOption);
    parser.addOption(dryRunOption);
    parser.addOption(jsonOption);
    parser.addOption(formatOption);
    parser.addOption(bitrateOption);
    parser.addOption(rateOption);
    parser.addOption(channelsOption);
    parser.addOption(maxSizeOption);
    parser.addOption(nameOption);
    parser.addOption(tagsOption);
    parser.addOption(manifestOption);
    parser.addOption(skipDoneOption);
    parser.process(app);

    const QString inputPath = parser.value(inputOption);
    if (inputPath.isEmpty()) {
        printError(QObject::tr("Usage: brevane --input AUDIO.(wav|mp3) [--out DIR] [--max 5m] "
                               "[--tolerance 1m]\n"));
        parser.showHelp(1);
    }

    const QFileInfo inputInfo(inputPath);
    if (!inputInfo.exists() || !inputInfo.isFile())
        return failWith(QObject::tr("Input file does not exist: %1\n").arg(inputPath));

    const bool anyInput = parser.isSet(anyInputOption);
    const QString suffix = inputInfo.suffix();
    const QString format = suffix.toLower();
    if (!anyInput && format != QLatin1String("mp3") && format != QLatin1String("wav"))
        return failWith(QObject::tr("Unsupported audio format: %1\n").arg(suffix));

    QString outputDir = parser.value(outOption);
    if (outputDir.isEmpty())
        outputDir = defaultOutputDir(inputInfo);

    const std::optional<double> maxSeconds = parseDurationSeconds(parser.value(maxOption));
    const std::optional<double> toleranceSeconds
        = parseDurationSeconds(parser.value(toleranceOption));
    if (!maxSeconds || !toleranceSeconds || !(*maxSeconds > 0) || *toleranceSeconds < 0)
        return failWith(QObject::tr("Invalid duration supplied for --max or --tolerance\n"));

    brevane::SplitOptions options;
    const QString levelText = parser.value(silenceLevelOption);
    const std::optional<double> silenceLevel = parseSilenceLevel(levelText);
    if (!silenceLevel)
        return failWith(QObject::tr("Invalid value for --silence-level: %1\n").arg(levelText));
    options.silenceLevel = *silenceLevel;

    const std::optional<double> minSilence = parseDurationSeconds(parser.value(minSilenceOption));
    if (!minSilence || !(*minSilence > 0))
        return failWith(QObject::tr("Invalid duration supplied for --min-silence\n"));
    options.minSilenceSeconds = *minSilence;

    const QString rule = parser.value(cutAtOption);
    if (rule == QLatin1String("quietest"))
        options.cutRule = brevane::CutRule::Quietest;
    else if (rule != QLatin1String("silence"))
        return failWith(QObject::tr("Invalid value for --cut-at: %1\n").arg(rule));
    if (options.cutRule == brevane::CutRule::Quietest && parser.isSet(silenceLevelOption))
        return failWith(QObject::tr("--silence-level cannot be combined with --cut-at quietest\n"));

    const QString formatText = parser.value(formatOption);
    const std::optional<brevane::PieceFormat> pieceFormat = parsePieceFormat(formatText);
    if (!pieceFormat)
        return failWith(QObject::tr("Invalid value for --format: %1\n").arg(formatText));
    options.format = *pieceFormat;
    // A number option: left as it is when not given, and the run's message when malformed.
    QString invalidValue;
    const auto readNumber = [&](const QCommandLineOption& option, const auto& parse, auto* value) {
        if (!parser.isSet(option))
            return true;
        const QString text = parser.value(option);
        const std::optional<std::int64_t> parsed = parse(text);
        if (!parsed) {
            invalidValue
                = QObject::tr("Invalid value for --%1: %2\n").arg(option.names().first(), text);
            return false;
        }
        *value = std::remove_pointer_t<decltype(value)>(*parsed);
        return true;
    };
    if (options.format == brevane::PieceFormat::Copy
        && (parser.isSet(bitrateOption) || parser.isSet(rateOption)
            || parser.isSet(channelsOption)))
        return failWith(
            QObject::tr("--format copy keeps the input's rate, channels and bit rate\n"));
    const brevane::BitRateRange bitRates = brevane::bitRateRange(options.format);
    if (parser.isSet(bitrateOption) && bitRates.highest == 0)
        return failWith(QObject::tr("--bitrate applies only to --format mp3 or opus\n"));
    options.tags = parser.isSet(tagsOption);
    if (options.tags && options.format == brevane::PieceFormat::Wav)
        return failWith(QObject::tr("--tags needs --format flac, mp3, opus or copy\n"));
    if (!readNumber(
            bitrateOption, [&](const QString& text) { return parseBitRate(text, bitRates); },
            &options.bitRate)
        || !readNumber(
            rateOption, [](const QString& text) { return parseWholeNumber(text, 8000, 384000); },
            &options.sampleRate)
        || !readNumber(
            channelsOption, [](const QString& text) { return parseWholeNumber(text, 1, 64); },
            &options.channelCount)
        || !readNumber(maxSizeOption, parseByteSize, &options.maxPieceBytes))
        return failWith(invalidValue);
    options.maxPieceSizeText = parser.value(maxSizeOption);
    // The names are checked with the input's own stem, which {stem} puts in them, before anything
    // is made.
    options.nameTemplate = parser.value(nameOption);
    QString nameError;
    if (!brevane::checkNameTemplate(options.nameTemplate, inputPath, &nameError))
        return failWith(nameError + QLatin1Char('\n'));

    options.onePass = parser.isSet(onePassOption);
    options.dryRun = parser.isSet(dryRunOption);
    options.anyInput = anyInput;
    options.keepRunRecord = parser.isSet(skipDoneOption);
    brevane::SplitStop stop;
    options.stop = &stop;

    QList<brevane::Segment> segments;
    QString errorMessage;
    brevane::StreamFormat streamFormat;
    // Progress and the hint about forced cuts are for a person watching a terminal; anything
    // else gets only the normal output.
    const bool errorsOnTerminal = isatty(STDERR_FILENO) == 1;
    ProgressLine progressLine(errorsOnTerminal);
    SignalStop signalStop(&stop);
    // A split recorded as finished with these very options stands as it is: its result again,
    // with nothing decoded.
    const bool alreadySplit = options.keepRunRecord
        && brevane::findFinishedRun(inputPath, outputDir, *maxSeconds, *toleranceSeconds, options,
            &segments, &streamFormat);
    const bool split = alreadySplit
        || brevane::splitAudio(
            inputPath, outputDir, *maxSeconds, *toleranceSeconds, options, &segments, &errorMessage,
            [&](const brevane::SplitProgress& progress) { progressLine.update(progress); },
            &streamFormat);
    progressLine.clear();
    // A signal that came after the last piece was written still stops the run before its
    // result is printed, with every piece complete.
    if (const int signal = signalStop.finish()) {
        printError(interruptionReport(signal, split ? segments : stop.completePieces,
            split ? QString() : stop.cutShortPath, options.dryRun));
        endBySignal(signal);
    }
    if (!split) {
        if (errorMessage.isEmpty())
            errorMessage = QObject::tr("Split failed");
        return failWith(errorMessage + QLatin1Char('\n'));
    }

    const QString result = parser.isSet(jsonOption)
        ? jsonDocument(inputPath, streamFormat, segments)
        : resultLines(segments);
    if (const int errorNumber = writeResult(result, outputClosed)) {
        return failWith(QObject::tr("Failed to write the result to standard output: %1\n")
                            .arg(QString::fromLocal8Bit(std::strerror(errorNumber))));
    }
    if (parser.isSet(manifestOption)
        && !brevane::appendManifest(parser.value(manifestOption), inputPath,
            streamFormat.sampleRate, segments, options.dryRun, &errorMessage))
        return failWith(errorMessage + QLatin1Char('\n'));
    // A log of many runs tells the inputs that were split from those taken as they were.
    if (alreadySplit)
        printError(QObject::tr("Already split: %1 (recorded in %2)\n").arg(inputPath, outputDir));
    if (errorsOnTerminal) {
        const QString hint = forcedCutHint(segments, options.cutRule);
        if (!hint.isEmpty())
            printError(hint + QLatin1Char('\n'));
    }
    return 0;
}
