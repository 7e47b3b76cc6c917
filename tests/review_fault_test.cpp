// Faults where a run used to report success, or leave a file that lies, through the built
// program and the real ffmpeg: pieces whose file cannot be written whole, names that libavformat
// would read as protocols, the file a failed piece leaves, and pieces that come out short.
// tests/README.md lists the outcomes.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <sys/mount.h>
#include <unistd.h>

namespace {

// 9 s of a 440 Hz tone, 8 kHz mono: with "--max 3s --tolerance 0s" three pieces of 24000 frames.
std::vector<std::int16_t> toneSamples()
{
    std::vector<std::int16_t> samples(72000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = std::int16_t(8000 * std::sin(2 * 3.14159265 * 440 * double(i) / 8000));
    return samples;
}

using testsupport::fileBytes;

// The audio as ffmpeg decodes it, 16-bit mono at 8 kHz.
QByteArray decoded(const QString& path)
{
    return testsupport::runProcess(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", path, "-f", "s16le", "-ac", "1", "-ar", "8000", "-" })
        .standardOutput;
}

class ReviewFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::writeWav16(path("in.wav"), 8000, 1, toneSamples()));
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    testsupport::ProcessResult run(const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment()) const
    {
        return testsupport::runProcess(
            testsupport::brevaneProgram(), arguments, dir.path(), environment);
    }
    QStringList entries(const QString& folder) const
    {
        return QDir(path(folder))
            .entryList(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
    QTemporaryDir dir;
};

// The second piece's file cannot be written: in the default mode its name is a link to
// /dev/full; with --one-pass its encoder's scratch file is made one once the first piece has
// its name. ffmpeg 5.1 reports the failure and ends with status 0 where the muxer failed only
// on its last bytes, as with these 1 s pieces.
struct WriteFailure {
    const char* name;
    QString format;
    QStringList options;
};

void PrintTo(const WriteFailure& row, std::ostream* out) { *out << row.name; }

class WriteFailureTest : public ReviewFaultTest,
                         public ::testing::WithParamInterface<WriteFailure> { };

TEST_P(WriteFailureTest, EndsInStatusOneAndNoCutOffPieceTakesAName)
{
    const WriteFailure& row = GetParam();
    const bool onePass = row.options.contains("--one-pass");
    ASSERT_TRUE(QDir(dir.path()).mkdir("out"));
    const QString second = "out/part_002." + row.format;
    const testsupport::FakeFfmpeg wrapper(
        QStringLiteral("case \"$*\" in *part_002.samples*)\n"
                       "  while [ ! -e out/part_001.%1 ]; do sleep 0.05; done\n"
                       "  for last; do :; done; ln -sf /dev/full \"$last\";;\n"
                       "esac\n"
                       "exec '%2' \"$@\"")
            .arg(row.format, QStandardPaths::findExecutable("ffmpeg")));
    if (!onePass) {
        ASSERT_TRUE(QFile::link("/dev/full", path(second)));
    }

    const testsupport::ProcessResult result
        = run(QStringList { "--input", "in.wav", "--out", "out", "--max", "1s", "--tolerance", "0s",
                  "--format", row.format }
                + row.options,
            wrapper.environment());
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardOutput.isEmpty());
    EXPECT_EQ(result.standardError.toStdString(),
        ("Failed to write " + second + ": No space left on device\n").toStdString());
    // No scratch file, and no second piece but the link the run did not make. The one-pass
    // encoders run side by side, so a later piece may be done before the second fails; every
    // piece that has its name is whole.
    const QStringList left = entries("out");
    EXPECT_TRUE(left.contains("part_001." + row.format)) << left.join(' ').toStdString();
    EXPECT_EQ(left.contains("part_002." + row.format), !onePass);
    EXPECT_TRUE(onePass || QFileInfo(path(second)).symLinkTarget() == "/dev/full");
    for (const QString& piece : left) {
        EXPECT_TRUE(piece.startsWith("part_")) << piece.toStdString();
        if (piece != "part_002." + row.format) {
            EXPECT_NEAR(decoded(path("out/" + piece)).size(), 16000, 2) << piece.toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteFailureTest,
    ::testing::Values(WriteFailure { "Wav", "wav", {} }, WriteFailure { "Flac", "flac", {} },
        WriteFailure { "Mp3", "mp3", {} }, WriteFailure { "Opus", "opus", {} },
        // WAV pieces go through an encoder in one pass only when they are converted.
        WriteFailure { "OnePassWav", "wav", { "--one-pass", "--rate", "16000" } },
        WriteFailure { "OnePassFlac", "flac", { "--one-pass" } },
        WriteFailure { "OnePassMp3", "mp3", { "--one-pass" } },
        WriteFailure { "OnePassOpus", "opus", { "--one-pass" } }),
    [](const auto& info) { return std::string(info.param.name); });

// Names that libavformat reads as protocols: a recorder's time-stamped file, a folder named
// like a time or like ffmpeg's standard output, and "-", which ffmpeg reads as standard input.
struct ColonName {
    const char* name;
    QString input;
    QString out;
    QStringList options;
    QString format = QStringLiteral("wav");
};

void PrintTo(const ColonName& row, std::ostream* out) { *out << row.name; }

class ColonNameTest : public ReviewFaultTest, public ::testing::WithParamInterface<ColonName> { };

TEST_P(ColonNameTest, IsReadAsAFile)
{
    const ColonName& row = GetParam();
    ASSERT_TRUE(QFile::rename(path("in.wav"), path(row.input)));
    const testsupport::ProcessResult result = run(
        QStringList { "--input", row.input, "--out", row.out, "--max", "3s", "--tolerance", "0s" }
        + row.options);
    ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
    EXPECT_TRUE(result.standardError.isEmpty()) << result.standardError.toStdString();
    const QStringList pieces { "part_001." + row.format, "part_002." + row.format,
        "part_003." + row.format };
    EXPECT_EQ(QString::fromUtf8(result.standardOutput),
        QStringLiteral("%1/%2\t0s - 3s\n%1/%3\t3s - 6s\n%1/%4\t6s - 9s\n")
            .arg(row.out, pieces[0], pieces[1], pieces[2]));
    EXPECT_EQ(entries(row.out), pieces);
    EXPECT_NEAR(decoded(path(row.out + "/" + pieces[2])).size(), 48000, 2);
}

INSTANTIATE_TEST_SUITE_P(Names, ColonNameTest,
    ::testing::Values(ColonName { "DefaultMode", "2024-05-01T10:30.wav", "12:30", {} },
        ColonName { "OnePass", "2024-05-01T10:30.wav", "pipe:1", { "--one-pass" } },
        ColonName { "OnePassEncoded", "2024-05-01T10:30.wav", "12:30",
            { "--one-pass", "--format", "flac" }, "flac" },
        ColonName { "AnyInputMp3", "2024-05-01T10:30.wav", "pipe:1",
            { "--any-input", "--format", "mp3" }, "mp3" },
        ColonName { "InputNamedDash", "-", "dash", { "--any-input" } }),
    [](const auto& info) { return std::string(info.param.name); });

// The second WAV piece's ffmpeg fails part way, in the default mode: on a full disk, or as a
// stand-in that leaves what ffmpeg leaves (sizes of 0xFFFFFFFF) and exits 1.
struct FailedPiece {
    const char* name;
    // The stand-in's shell commands ($last: the piece); empty for the real ffmpeg on a full disk.
    QString writer;
    // The data bytes the piece is left with: -1 when it is removed, -2 for the earlier run's
    // piece under its name, which stays as it was.
    qsizetype dataLeft;
};

void PrintTo(const FailedPiece& row, std::ostream* out) { *out << row.name; }

class FailedPieceTest : public ReviewFaultTest, public ::testing::WithParamInterface<FailedPiece> {
protected:
    void TearDown() override
    {
        if (mounted)
            ::umount(QFile::encodeName(path("out")).constData());
    }
    bool mounted = false;
};

const QString unfinishedHeader = QStringLiteral(
    "printf 'RIFF\\377\\377\\377\\377WAVEfmt \\20\\0\\0\\0\\1\\0\\1\\0\\100\\37\\0\\0"
    "\\200\\76\\0\\0\\2\\0\\20\\0data\\377\\377\\377\\377'");

TEST_P(FailedPieceTest, LeavesAHeaderThatStatesWhatThePieceHolds)
{
    const FailedPiece& row = GetParam();
    ASSERT_TRUE(QDir(dir.path()).mkdir("out"));
    const QString second = path("out/part_002.wav");
    if (row.writer.isEmpty()) {
        // 64 KiB: the first piece's 48 kB and its header, and about 16 kB of the second.
        if (::geteuid() != 0)
            GTEST_SKIP() << "mounting a tmpfs needs root";
        if (::mount("tmpfs", QFile::encodeName(path("out")).constData(), "tmpfs", 0, "size=64k"))
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        mounted = true;
    }
    if (row.dataLeft == -2) {
        ASSERT_TRUE(testsupport::writeWav16(second, 8000, 1, std::vector<std::int16_t>(10, 7)));
    }
    const QByteArray earlier = fileBytes(second);
    const testsupport::FakeFfmpeg writer("for last; do :; done\n"
        + (row.writer.isEmpty()
                ? QString()
                : "case \"$last\" in *part_002.wav) " + row.writer + "; exit 1;; esac\n")
        + "exec '" + QStandardPaths::findExecutable("ffmpeg") + "' \"$@\"");

    const testsupport::ProcessResult result
        = run({ "--input", "in.wav", "--out", "out", "--max", "3s", "--tolerance", "0s" },
            writer.environment());
    EXPECT_EQ(result.exitCode, 1);
    // ffmpeg's own reason on the full disk, whichever of its writes found the disk full.
    EXPECT_TRUE(row.writer.isEmpty() ? result.standardError.contains("No space left on device")
                                     : result.standardError == "ffmpeg exited with code 1: \n")
        << result.standardError.toStdString();
    testsupport::WavInfo first;
    ASSERT_TRUE(testsupport::readWav(path("out/part_001.wav"), &first));
    const std::vector<std::int16_t> samples = toneSamples();
    const QByteArray tone(
        reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * 2));
    EXPECT_TRUE(first.data == tone.left(48000));
    EXPECT_FALSE(QFile::exists(path("out/part_003.wav")));
    if (row.dataLeft == -1 || row.dataLeft == -2) {
        EXPECT_EQ(QFile::exists(second), row.dataLeft == -2);
        EXPECT_TRUE(fileBytes(second) == earlier);
        return;
    }
    // Sizes that state the whole frames the file holds, no more.
    const QByteArray bytes = fileBytes(second);
    const qsizetype data = bytes.lastIndexOf("data") + 8;
    ASSERT_GT(data, 8);
    EXPECT_EQ(qFromLittleEndian<std::uint32_t>(bytes.constData() + 4), bytes.size() - 8);
    EXPECT_EQ(qFromLittleEndian<std::uint32_t>(bytes.constData() + data - 4), bytes.size() - data);
    if (row.dataLeft > 0) {
        EXPECT_EQ(bytes.size() - data, row.dataLeft);
    }
    EXPECT_TRUE(bytes.size() > data && tone.mid(48000).startsWith(bytes.mid(data)));
}

INSTANTIATE_TEST_SUITE_P(Writers, FailedPieceTest,
    ::testing::Values(FailedPiece { "FullDisk", {}, 0 },
        FailedPiece { "NoAudioYet", unfinishedHeader + " > \"$last\"", -1 },
        // The second piece's first 500 frames and a byte: the partial frame is cut off.
        FailedPiece { "PartialFrame",
            "{ " + unfinishedHeader + "; tail -c +48045 in.wav | head -c 1001; } > \"$last\"",
            1000 },
        FailedPiece { "EarlierRunsPieceUntouched", QStringLiteral(":"), -2 }),
    [](const auto& info) { return std::string(info.param.name); });

// With --any-input the default mode cuts each piece by its sample count, which a stream whose
// rate changes partway defeats: two Ogg Vorbis streams joined with cat, 4 s at 44.1 kHz and 4 s
// at 22.05 kHz, in pieces of 2 s. Only --one-pass cuts such a stream exactly.
struct ShortPiece {
    const char* name;
    QStringList options;
    QString format;
};

void PrintTo(const ShortPiece& row, std::ostream* out) { *out << row.name; }

class ShortPieceTest : public ReviewFaultTest, public ::testing::WithParamInterface<ShortPiece> { };

TEST_P(ShortPieceTest, FailsWhereThePieceFallsShort)
{
    const ShortPiece& row = GetParam();
    QByteArray joined;
    for (const char* part : { "sine=f=300:d=4:r=44100", "sine=f=500:d=4:r=22050" }) {
        ASSERT_TRUE(testsupport::runFfmpeg(
            { "-f", "lavfi", "-i", part, "-c:a", "libvorbis", path("part.ogg") }));
        joined += fileBytes(path("part.ogg"));
    }
    ASSERT_TRUE(testsupport::writeFile(path("chained.ogg"), joined));
    const testsupport::ProcessResult result
        = run(QStringList { "--input", "chained.ogg", "--out", "out", "--any-input", "--max", "2s",
                  "--tolerance", "0s", "--format", row.format }
            + row.options);
    if (row.options.contains("--one-pass")) {
        EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
        return;
    }
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.standardOutput.isEmpty());
    const QString expected = "^Piece out/part_003\\." + row.format
        + " holds [^ ]+ of the 2s asked for; this input's timing cannot be cut exactly in the "
          "default mode \\(try --one-pass\\)\n$";
    EXPECT_TRUE(QRegularExpression(expected).match(result.standardError).hasMatch())
        << result.standardError.toStdString();
    EXPECT_EQ(entries("out"),
        QStringList(
            { "part_001." + row.format, "part_002." + row.format, "part_003." + row.format }));
}

INSTANTIATE_TEST_SUITE_P(Modes, ShortPieceTest,
    ::testing::Values(ShortPiece { "Wav", {}, "wav" }, ShortPiece { "Flac", {}, "flac" },
        ShortPiece { "OnePass", { "--one-pass" }, "wav" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
