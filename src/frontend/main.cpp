#include "brevane.h"
#include "duration_parser.h"
#include "progress_line.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QTextStream>

#include <cstdio>

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

void printSegments(const QList<brevane::Segment>& segments)
{
    QTextStream out(stdout);
    for (const brevane::Segment& segment : segments) {
        out << segment.filePath << '\t' << brevane::formatDuration(segment.startSeconds) << " - "
            << brevane::formatDuration(segment.endSeconds) << '\n';
    }
    out.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brevane"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QObject::tr("Split audio files into silence-aware segments"));
    parser.addHelpOption();
    const QCommandLineOption inputOption(
        QStringLiteral("input"), QObject::tr("Audio file to split"), QStringLiteral("file"));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QObject::tr("Directory for output segments"), QStringLiteral("dir"));
    const QCommandLineOption maxOption(QStringLiteral("max"), QObject::tr("Maximum segment length"),
        QStringLiteral("duration"), QStringLiteral("5m"));
    const QCommandLineOption toleranceOption(QStringLiteral("tolerance"),
        QObject::tr("Tolerance window"), QStringLiteral("duration"), QStringLiteral("1m"));
    parser.addOption(inputOption);
    parser.addOption(outOption);
    parser.addOption(maxOption);
    parser.addOption(toleranceOption);
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

    const QString suffix = inputInfo.suffix();
    const QString format = suffix.toLower();
    if (format != QLatin1String("mp3") && format != QLatin1String("wav"))
        return failWith(QObject::tr("Unsupported audio format: %1\n").arg(suffix));

    QString outputDir = parser.value(outOption);
    if (outputDir.isEmpty())
        outputDir = defaultOutputDir(inputInfo);

    const std::optional<double> maxSeconds = parseDurationSeconds(parser.value(maxOption));
    const std::optional<double> toleranceSeconds
        = parseDurationSeconds(parser.value(toleranceOption));
    if (!maxSeconds || !toleranceSeconds || !(*maxSeconds > 0) || *toleranceSeconds < 0)
        return failWith(QObject::tr("Invalid duration supplied for --max or --tolerance\n"));

    QList<brevane::Segment> segments;
    QString errorMessage;
    // Progress is for a person watching a terminal; anything else gets only the normal output.
    ProgressLine progressLine(isatty(STDERR_FILENO) == 1);
    const bool split = brevane::splitAudio(inputPath, outputDir, *maxSeconds, *toleranceSeconds,
        &segments, &errorMessage,
        [&](const brevane::SplitProgress& progress) { progressLine.update(progress); });
    progressLine.clear();
    if (!split) {
        if (errorMessage.isEmpty())
            errorMessage = QObject::tr("Split failed");
        return failWith(errorMessage + QLatin1Char('\n'));
    }

    printSegments(segments);
    return 0;
}
