// Faults around the ffmpeg children, through the built program: a decoder that drips or
// pauses, children killed by a signal, an ffmpeg that cannot be run or that disappears, and
// output directories that cannot take the pieces. Each ends in its prescribed message, and
// the pieces written before a failure stay on disk.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// 10 Hz mono with "--max 1s --tolerance 400ms": the windows are 6, 10 and 14 frames and a
// pause needs 5. Eight loud frames, six silent, sixteen loud: the pause's middle so far is
// frame 10 when it reaches five frames, and the piece has run 13 frames, past its target, so
// it is cut there at once; the rest of that pause is spent, and the next piece is forced at
// 10 + 14 = 24; the last runs to the end at 30.
const QStringList cutArguments { QStringLiteral("--max"), QStringLiteral("1s"),
    QStringLiteral("--tolerance"), QStringLiteral("400ms") };
const QStringList resultLines { QStringLiteral("out/part_001.wav\t0s - 1s"),
    QStringLiteral("out/part_002.wav\t1s - 2.4s"), QStringLiteral("out/part_003.wav\t2.4s - 3s") };

QByteArray decodedStream()
{
    std::vector<float> samples(8, 0.5f);
    samples.insert(samples.end(), 6, 0.0f);
    samples.insert(samples.end(), 16, 0.5f);
    return testsupport::floatBytes(samples);
}

enum class Search {
    FakeFirst, // the fake ffmpeg first on PATH
    FakeOnly, // PATH holds nothing but the fake's directory
    FakeOnlyNotExecutable, // ... and the fake has lost its execute permission
};

struct Fault {
    std::string name;
    // Shell commands of the fake ffmpeg when it decodes ($PCM holds the stream) and when it
    // writes a piece ($last is the output path).
    QString decoder;
    QString writer;
    Search search;
    int exitCode;
    QString error; // standard error, without its final line break
    // The reason after the message's colon comes from Qt's process facility; only the
    // message's start is checked.
    bool errorEndsInProcessText;
    QStringList piecesLeft;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

const QString plainDecoder = QStringLiteral("cat \"$PCM\"");
const QString plainWriter = QStringLiteral(": > \"$last\"");

class FaultTest : public ::testing::TestWithParam<Fault> {
protected:
    QTemporaryDir dir;
};

TEST_P(FaultTest, EndsInItsMessageAndKeepsEarlierPieces)
{
    const Fault& fault = GetParam();
    // The probe reads the real file; the fake decoder delivers the stream above instead.
    ASSERT_TRUE(testsupport::writeWav16(
        dir.filePath(QStringLiteral("in.wav")), 10, 1, std::vector<std::int16_t>(30, 0)));
    const QString pcmPath = dir.filePath(QStringLiteral("pcm.raw"));
    ASSERT_TRUE(testsupport::writeFile(pcmPath, decodedStream()));

    const testsupport::FakeFfmpeg fake(QStringLiteral("PATH=/usr/bin:/bin\n"
                                                      "PCM='%1'\n"
                                                      "for last; do :; done\n"
                                                      "case \" $* \" in\n"
                                                      "*\" f32le \"*)\n%2\n;;\n"
                                                      "*)\n%3\n;;\n"
                                                      "esac")
                                           .arg(pcmPath, fault.decoder, fault.writer));
    QProcessEnvironment environment = fake.environment();
    if (fault.search != Search::FakeFirst)
        environment.insert(QStringLiteral("PATH"), fake.directory());
    if (fault.search == Search::FakeOnlyNotExecutable) {
        ASSERT_TRUE(QFile::setPermissions(fake.directory() + QStringLiteral("/ffmpeg"),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    }

    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { QStringLiteral("--input"), QStringLiteral("in.wav"), QStringLiteral("--out"),
            QStringLiteral("out") }
            + cutArguments,
        dir.path(), environment);
    const QString errorText = QString::fromUtf8(run.standardError);

    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(run.exitCode, fault.exitCode) << errorText.toStdString();
    if (fault.exitCode == 0) {
        EXPECT_EQ(QString::fromUtf8(run.standardOutput), resultLines.join(u'\n') + u'\n');
        EXPECT_TRUE(errorText.isEmpty()) << errorText.toStdString();
    } else {
        EXPECT_TRUE(run.standardOutput.isEmpty()) << run.standardOutput.toStdString();
        if (fault.errorEndsInProcessText) {
            EXPECT_TRUE(errorText.startsWith(fault.error)
                && errorText.size() > fault.error.size() + 1 && errorText.endsWith(u'\n'))
                << errorText.toStdString();
        } else {
            EXPECT_EQ(errorText, fault.error + u'\n');
        }
    }
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("out"))).entryList(QDir::Files), fault.piecesLeft);
}

const QStringList allPieces { QStringLiteral("part_001.wav"), QStringLiteral("part_002.wav"),
    QStringLiteral("part_003.wav") };

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
    ::testing::Values(
        // One byte per write, so that nearly every read ends inside a sample.
        Fault { "DecoderDripsAByteAtATime",
            QStringLiteral("size=$(wc -c < \"$PCM\"); i=0\n"
                           "while [ $i -lt $size ]; do\n"
                           "  dd if=\"$PCM\" bs=1 skip=$i count=1 status=none; sleep 0.005\n"
                           "  i=$((i + 1))\n"
                           "done"),
            plainWriter, Search::FakeFirst, 0, {}, false, allPieces },
        // Two silences of two seconds, each after a write that ends inside a sample.
        Fault { "DecoderPausesBetweenWrites",
            QStringLiteral("head -c 42 \"$PCM\"; sleep 2\n"
                           "tail -c +43 \"$PCM\" | head -c 40; sleep 2\n"
                           "tail -c +83 \"$PCM\""),
            plainWriter, Search::FakeFirst, 0, {}, false, allPieces },
        Fault { "DecoderKilledHalfway",
            QStringLiteral("head -c 60 \"$PCM\"; echo 'decoder went down' >&2; kill -KILL $$"),
            plainWriter, Search::FakeFirst, 1,
            QStringLiteral("ffmpeg exited with code 9: decoder went down"), false, {} },
        Fault { "SecondPieceKilled", plainDecoder,
            QStringLiteral("case \"$last\" in *part_002.wav)\n"
                           "  echo 'writer went down' >&2; kill -KILL $$;;\n"
                           "esac\n: > \"$last\""),
            Search::FakeFirst, 1, QStringLiteral("ffmpeg exited with code 9: writer went down"),
            false, { QStringLiteral("part_001.wav") } },
        Fault { "FfmpegNotExecutable", plainDecoder, plainWriter, Search::FakeOnlyNotExecutable, 1,
            QStringLiteral("Failed to start ffmpeg: "), true, {} },
        // ffmpeg removed between the decode and the first piece.
        Fault { "FfmpegGoneBeforeThePieces", plainDecoder + QStringLiteral("; rm -f \"$0\""),
            plainWriter, Search::FakeOnly, 1, QStringLiteral("Failed to run ffmpeg: "), true, {} }),
    [](const auto& info) { return info.param.name; });

// Output directories that take no file, with the real ffmpeg. Root may write anywhere the
// permission bits forbid, so these are places where writing fails for everyone.
struct WriteFailure {
    std::string name;
    QString outArgument;
    QString blockedName; // made a directory inside the output directory beforehand
    QString error; // the start of standard error, up to the reason given by ffmpeg
    QStringList piecesLeft;
};

void PrintTo(const WriteFailure& failure, std::ostream* out) { *out << failure.name; }

class WriteFailureTest : public ::testing::TestWithParam<WriteFailure> {
protected:
    QTemporaryDir dir;
};

TEST_P(WriteFailureTest, StopsAtTheFirstPieceThatCannotBeWritten)
{
    const WriteFailure& failure = GetParam();
    // Three seconds of noise at 100 Hz, silent from 1 s to 1.5 s: three pieces.
    std::vector<std::int16_t> samples(300, 8000);
    std::fill(samples.begin() + 100, samples.begin() + 150, 0);
    ASSERT_TRUE(testsupport::writeWav16(dir.filePath(QStringLiteral("in.wav")), 100, 1, samples));
    if (!failure.blockedName.isEmpty()) {
        ASSERT_TRUE(QDir(dir.path()).mkpath(failure.outArgument + u'/' + failure.blockedName));
    }

    const testsupport::ProcessResult run = testsupport::runProcess(testsupport::brevaneProgram(),
        QStringList { QStringLiteral("--input"), QStringLiteral("in.wav"), QStringLiteral("--out"),
            failure.outArgument }
            + cutArguments,
        dir.path());
    const QString errorText = QString::fromUtf8(run.standardError);

    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.standardOutput.isEmpty());
    EXPECT_TRUE(errorText.startsWith(failure.error)) << errorText.toStdString();
    if (!failure.piecesLeft.isEmpty()) {
        EXPECT_EQ(
            QDir(dir.filePath(failure.outArgument)).entryList(QDir::Files), failure.piecesLeft);
    }
}

INSTANTIATE_TEST_SUITE_P(Directories, WriteFailureTest,
    ::testing::Values(
        WriteFailure { "DirectoryCannotBeMade", QStringLiteral("/proc/brevane-pieces"), {},
            QStringLiteral("Failed to create output directory: /proc/brevane-pieces\n"), {} },
        WriteFailure { "DirectoryTakesNoFiles", QStringLiteral("/proc/self"), {},
            QStringLiteral("ffmpeg exited with code 1: /proc/self/part_001.wav: "), {} },
        WriteFailure { "SecondPieceNameTakenByADirectory", QStringLiteral("out"),
            QStringLiteral("part_002.wav"),
            QStringLiteral("ffmpeg exited with code 1: out/part_002.wav: "),
            { QStringLiteral("part_001.wav") } }),
    [](const auto& info) { return info.param.name; });

} // namespace
