// Interrupted and overlapping runs, through the built program and the real ffmpeg. A stand-in
// first on PATH logs the process group of every ffmpeg child and holds one call, its real
// ffmpeg fed only the start of the input, so that each signal finds the run at a known stage:
// the tests wait for what the run shows, never for a fixed time.

#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int everyProcess = 1000;
constexpr int asTimeout = 2000;
constexpr int asHangup = 3000;
const QStringList cutOptions { "--input", "in.wav", "--out", "out", "--max", "2s", "--tolerance",
    "1s" };

// The call with the word HOLD among its arguments is fed the first HOLD_BYTES of its input (by
// a named pipe) and then nothing more, and marks that it is held; with STUBBORN it is no ffmpeg
// but a child that outlives every SIGTERM. ffmpeg, blocked on that input, cannot read the quit
// command ("q") that brevane sends a piece's ffmpeg on standard input: the stand-in takes it (or
// the end of that input) and ends the held input, at which ffmpeg finishes as after the command.
// SIGTERM ends the held input of a decoder, whose output is dropped; a piece's ffmpeg, given
// SIGTERM alone, waits on.
const char standIn[] = R"(echo "$$" >> "$FAKE_LOG"
case " $* " in *" ${HOLD:-(none)} "*) ;; *) exec "$REAL_FFMPEG" "$@" ;; esac
[ -n "$STUBBORN" ] && : > "$FAKE_LOG.held" && trap ': > "$FAKE_LOG.asked"' TERM && while :; do sleep infinity & wait; done
n=$#; previous=
for argument do
    if [ "$previous" = -i ]; then input=$argument; argument=$FAKE_LOG.fifo; fi
    set -- "$@" "$argument"; previous=$argument
done
shift $n
mkfifo "$FAKE_LOG.fifo"
trap '' TERM
{ head -c "$HOLD_BYTES" "$input"; : > "$FAKE_LOG.held"; exec sleep infinity; } > "$FAKE_LOG.fifo" &
feeder=$!
exec 3<&0
(dd bs=1 count=1 status=none <&3 > /dev/null; : > "$FAKE_LOG.stopping"; kill -KILL $feeder 2> /dev/null) &
watcher=$!
for last do :; done
if [ "$last" = - ]; then end='kill -KILL $feeder 2> /dev/null;'; fi
trap "$end stopped=1; : > '$FAKE_LOG.stopping'" TERM
"$REAL_FFMPEG" "$@" < /dev/null 3<&- &
wait $!; status=$?
if [ -n "$stopped" ]; then wait $!; status=$?; fi
kill -KILL $feeder $watcher 2> /dev/null
exit $status)";

// Polls until condition holds; the guard, far beyond any pace, only ends a run that never does.
bool waitFor(const std::function<bool()>& condition)
{
    for (int poll = 0; poll < 24000 && !condition(); ++poll)
        QThread::msleep(5);
    return condition();
}

using testsupport::fileBytes;

// The data size a WAV file's header states (-1 where its RIFF size disagrees), and the audio
// the file holds; the data chunk is the last.
std::pair<qint64, QByteArray> audioOf(const QString& path)
{
    const QByteArray bytes = fileBytes(path);
    const qsizetype data = bytes.indexOf("data", 12);
    const qint64 stated = data > 0 ? qFromLittleEndian<quint32>(bytes.constData() + data + 4) : -1;
    const bool consistent = bytes.startsWith("RIFF")
        && qFromLittleEndian<quint32>(bytes.constData() + 4) == stated + data;
    return { consistent ? stated : -1, bytes.mid(data + 8) };
}

// Whether every process in these process groups is in one of these states ('T' stopped, 'Z'
// ended).
bool allIn(const char* states, const QList<int>& groups)
{
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = fileBytes(QStringLiteral("/proc/%1/stat").arg(pid));
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && groups.contains(fields[2].toInt())
            && !QByteArray(states).contains(fields[0].at(0)))
            return false;
    }
    return true;
}

class InterruptionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Twelve seconds of stereo tone, silent from 1.6 to 2.4 s and from 3.6 to 4.4 s: the
        // pieces end in the pauses, at 1.85 and 3.85 s, and then by force every 3 s.
        std::vector<std::int16_t> samples(12 * 44100 * 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double t = double(i / 2) / 44100;
            const bool pause = (t >= 1.6 && t < 2.4) || (t >= 3.6 && t < 4.4);
            samples[i] = pause ? 0 : std::int16_t(8000 * std::sin(t * 2764.6));
        }
        ASSERT_TRUE(testsupport::writeWav16(reference.filePath("in.wav"), 44100, 2, samples));
    }

    // The same samples named as a centre and a bass channel, which ffmpeg remixes into stereo:
    // a dry run can decode only where the cuts fall in a stereo WAV, but this one it decodes
    // whole through the decoder child. Made for the cases that use it.
    static QString remixed()
    {
        const QString path = reference.filePath("remixed.wav");
        if (!QFile::exists(path)) {
            EXPECT_TRUE(testsupport::runFfmpeg({ "-i", reference.filePath("in.wav"), "-af",
                "channelmap=channel_layout=FC+LFE", path }));
        }
        return path;
    }

    // A piece's audio as the uninterrupted run writes it. One pass writes the same audio as the
    // default mode and, with no child per piece, in a fraction of its time; it runs once, for
    // the first case that compares a piece.
    static QByteArray wholePiece(const QString& name)
    {
        if (!QDir(reference.filePath("out")).exists()) {
            const auto run = testsupport::runProcess(testsupport::brevaneProgram(),
                cutOptions + QStringList { "--one-pass" }, reference.path());
            EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
        }
        return audioOf(reference.filePath("out/" + name.section('.', 0, 0) + ".wav")).second;
    }

    // Starts brevane as a shell starts a job, in a process group of its own, with the call that
    // names hold fed fedSeconds of the input. ffmpeg writes a file in blocks of 256 KiB, so a
    // held piece needs more than that of its own audio.
    void start(const QStringList& options, const QString& hold, double fedSeconds = 3.6,
        bool stubborn = false, bool interruptIgnored = false)
    {
        QFile::copy(reference.filePath("in.wav"), dir.filePath("in.wav"));
        if (options.contains("remixed.wav"))
            QFile::copy(remixed(), dir.filePath("remixed.wav"));
        QProcessEnvironment environment = standInFfmpeg.environment();
        environment.insert("REAL_FFMPEG", QStandardPaths::findExecutable("ffmpeg"));
        environment.insert("HOLD", hold);
        environment.insert("HOLD_BYTES", QString::number(44 + qint64(fedSeconds * 44100) * 4));
        environment.insert("STUBBORN", stubborn ? "1" : "");
        run.setProcessEnvironment(environment);
        run.setWorkingDirectory(dir.path());
        run.setChildProcessModifier([interruptIgnored] {
            ::setpgid(0, 0);
            if (interruptIgnored)
                ::signal(SIGINT, SIG_IGN);
        });
        run.start(testsupport::brevaneProgram(), cutOptions + options);
        ASSERT_TRUE(run.waitForStarted(-1));
    }
    bool marked(const char* suffix) const
    {
        return QFile::exists(standInFfmpeg.logPath() + suffix);
    }
    bool pieceHolds(const QString& name, qint64 bytes = 1000) const
    {
        return QFile(dir.filePath("out/" + name)).size() > bytes;
    }

    // A negative number goes to brevane's whole process group, as a terminal sends it; one
    // above everyProcess to every process of the run, as a service manager ends a service; one
    // above asTimeout to brevane and then to its group, as `timeout` sends it; one above
    // asHangup to its group from this process and then from another, as a closing terminal's
    // hangup comes from the kernel and again from the shell.
    void send(int number) const
    {
        const pid_t pid = pid_t(run.processId());
        const int signal = std::abs(number) % everyProcess;
        for (const QString& group : standInFfmpeg.loggedArguments()) {
            if (number > everyProcess && number < asTimeout)
                ::kill(-group.toInt(), signal);
        }
        if (number > asTimeout) {
            ::kill(number > asHangup ? -pid : pid, signal);
            // The second once the first has reached a child: the program has begun its stop. A
            // decoder's stand-in may be killed before it marks that, and the program end at
            // once: then the second comes after it.
            waitFor([&] { return marked(".stopping") || allIn("Z", { int(pid) }); });
        }
        if (number > asHangup) {
            if (const pid_t shell = ::fork(); shell == 0) {
                ::kill(-pid, signal);
                ::_exit(0);
            } else if (shell > 0) {
                ::waitpid(shell, nullptr, 0);
            }
            return;
        }
        ::kill(number < 0 || number > asTimeout ? -pid : pid, signal);
    }

    // Whether every process the ffmpeg children started (and these others) is in these states.
    bool childrenIn(const char* states, QList<int> groups = {}) const
    {
        for (const QString& group : standInFfmpeg.loggedArguments())
            groups << group.toInt();
        return allIn(states, groups);
    }

    // Waits for brevane to end, and for all that its ffmpeg children started to end too.
    testsupport::ProcessResult finish()
    {
        EXPECT_TRUE(waitFor([this] {
            return run.state() == QProcess::NotRunning || run.waitForFinished(5);
        })) << "brevane never ended";
        EXPECT_TRUE(waitFor([this] { return childrenIn("Z"); })) << "children left";
        return { true, run.exitStatus(), run.exitCode(), run.readAllStandardOutput(),
            run.readAllStandardError() };
    }

    // Ended by the signal, with the one line that says what is left.
    void expectEndedBy(int number, const QString& left)
    {
        const testsupport::ProcessResult ended = finish();
        EXPECT_EQ(ended.exitStatus, QProcess::CrashExit);
        EXPECT_EQ(ended.exitCode, number);
        EXPECT_EQ((ended.standardError + ended.standardOutput).toStdString(),
            QStringLiteral("Interrupted by SIG%1: %2\n")
                .arg(sigabbrev_np(number), left)
                .toStdString());
    }

    // A piece as the uninterrupted run wrote it, or (cutShort) the start of it, with a header
    // that states exactly what it holds; a FLAC piece decodes to those samples.
    void expectPiece(const QString& name, bool cutShort = false) const
    {
        QString path = dir.filePath("out/" + name);
        if (name.endsWith(".flac")) {
            const QString decoded = dir.filePath(name + ".wav");
            ASSERT_TRUE(testsupport::runFfmpeg({ "-i", path, "-c:a", "pcm_s16le", decoded }));
            path = decoded;
        }
        const auto [stated, held] = audioOf(path);
        const QByteArray whole = wholePiece(name);
        EXPECT_EQ(stated, held.size()) << name.toStdString();
        EXPECT_TRUE(cutShort
                ? !held.isEmpty() && held.size() < whole.size() && whole.startsWith(held)
                : held == whole)
            << name.toStdString() << ": " << held.size() << " of " << whole.size();
    }

    // What a failed run leaves is ended.
    void TearDown() override
    {
        for (const QString& group : standInFfmpeg.loggedArguments())
            ::kill(-group.toInt(), SIGKILL);
        if (run.processId() > 0)
            ::kill(-pid_t(run.processId()), SIGKILL);
    }

    static inline QTemporaryDir reference;
    QTemporaryDir dir;
    testsupport::FakeFfmpeg standInFfmpeg { QString::fromUtf8(standIn) };
    QProcess run;
};

struct Stage {
    const char* name;
    QStringList options;
    const char* hold;
    // The signal comes once this piece has more than so many bytes, or the held call has begun.
    const char* piece;
    qint64 pieceBytes;
    const char* left;
    int complete; // pieces, and with cutShort, the next one left cut short
    bool cutShort;
};

void PrintTo(const Stage& stage, std::ostream* out) { *out << stage.name; }

class SignalTest : public InterruptionTest,
                   public ::testing::WithParamInterface<std::tuple<Stage, int>> { };

TEST_P(SignalTest, StopsCleanlyAndEndsByTheSignal)
{
    const auto& [stage, number] = GetParam();
    const QString piece = dir.filePath("out/") + stage.piece;
    start(stage.options, stage.hold);
    ASSERT_TRUE(waitFor([&] {
        return stage.piece ? QFile::exists(piece) && QFile(piece).size() > stage.pieceBytes
                           : marked(".held");
    }));
    send(number);
    expectEndedBy(std::abs(number) % everyProcess, stage.left);
    const QString suffix = stage.options.contains("flac") ? ".flac" : ".wav";
    QStringList left;
    for (int index = 1; index <= stage.complete + int(stage.cutShort); ++index) {
        left << QStringLiteral("part_00%1").arg(index) + suffix;
        expectPiece(left.last(), index > stage.complete);
    }
    // No scratch file either.
    EXPECT_EQ(
        QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden).join(' ').toStdString(),
        left.join(' ').toStdString());
}

// SIGINT goes to the whole process group, as a terminal sends it; SIGTERM to brevane alone, and
// to every process of the run, which gives a piece's ffmpeg its one SIGTERM besides the quit
// command; SIGHUP twice, from two senders, which is still one request. The third piece's
// ffmpeg, held before the piece begins, has made its file but has no audio for it yet.
INSTANTIATE_TEST_SUITE_P(Stages, SignalTest,
    ::testing::Combine(
        ::testing::Values(
            Stage { "Analysis", {}, "f32le", nullptr, 0, "no piece written", 0, false },
            Stage { "DryRun", { "--dry-run", "--input", "remixed.wav" }, "f32le", nullptr, 0,
                "no piece written", 0, false },
            Stage { "PieceWriting", {}, "out/part_002.wav", "part_002.wav", 1000,
                "1 piece complete (out/part_001.wav), out/part_002.wav cut short", 1, true },
            Stage { "PieceNotBegun", {}, "out/part_003.wav", "part_003.wav", -1,
                "2 pieces complete (out/part_001.wav to out/part_002.wav)", 2, false },
            Stage { "OnePass", { "--one-pass" }, "s16le", "part_002.wav", 1000,
                "1 piece complete (out/part_001.wav), out/part_002.wav cut short", 1, true },
            // A piece's ffmpeg that read its quit command, encoding FLAC.
            Stage { "FlacPieceWriting", { "--format", "flac" }, "out/part_002.flac", nullptr, 0,
                "1 piece complete (out/part_001.flac), out/part_002.flac cut short", 1, true },
            // The encoders stopped, and the piece being decoded, which is scratch, removed.
            Stage { "FlacOnePass", { "--format", "flac", "--one-pass" }, "s16le", "part_001.flac",
                0, "1 piece complete (out/part_001.flac)", 1, false }),
        ::testing::Values(
            -SIGINT, SIGTERM, everyProcess + SIGTERM, asTimeout + SIGTERM, asHangup + SIGHUP)),
    [](const auto& info) {
        return std::get<0>(info.param).name + std::to_string(std::abs(std::get<1>(info.param)));
    });

// Started with SIGINT ignored (a script's background job), neither the run nor its children see
// a terminal's Ctrl-C, while its Ctrl-Z stops the children with brevane, and both go on. A child
// that outlives SIGTERM then holds the clean stop up, and a second signal ends the program at
// once, its children with it; had SIGINT started the stop, SIGTERM would have ended it.
TEST_F(InterruptionTest, TerminalSignalsAndASecondSignal)
{
    start({}, "f32le", 0, true, true);
    ASSERT_TRUE(waitFor([&] { return marked(".held"); }));
    const QList<int> brevane { int(run.processId()) };
    send(-SIGTSTP);
    EXPECT_TRUE(waitFor([&] { return childrenIn("TZ", brevane); }));
    send(-SIGCONT);
    EXPECT_TRUE(waitFor([&] { return childrenIn("SRDZ", brevane); }));
    send(-SIGINT);
    send(SIGTERM);
    ASSERT_TRUE(waitFor([&] { return marked(".asked"); }));
    send(-SIGHUP);
    const testsupport::ProcessResult ended = finish();
    EXPECT_EQ(ended.exitCode, SIGHUP);
    EXPECT_EQ(ended.standardError, QByteArray());
}

// Killed, the program cleans nothing up, yet the open piece, 7 s into its audio and not to be cut
// before the stream passes 9 s, states no more than it holds, and less by under five seconds.
TEST_F(InterruptionTest, KilledOnePassLeavesAHeaderThatDoesNotOverstate)
{
    const qint64 second = 176400;
    start({ "--one-pass", "--max", "8s", "--cut-at", "quietest" }, "s16le", 8.8);
    ASSERT_TRUE(waitFor([&] { return pieceHolds("part_001.wav", 44 + 7 * second); }));
    send(SIGKILL);
    finish();
    const auto [stated, held] = audioOf(dir.filePath("out/part_001.wav"));
    EXPECT_TRUE(stated >= 0 && stated <= held.size() && held.size() - stated < 5 * second)
        << stated << " of " << held.size();
}

// A second run into a folder that a run holds ends at once and touches nothing; a dry run takes
// no lock; and a killed run leaves the folder free.
TEST_F(InterruptionTest, SecondRunIntoAHeldFolderEndsAtOnce)
{
    start({}, "out/part_002.wav");
    ASSERT_TRUE(waitFor([&] { return pieceHolds("part_002.wav"); }));
    const QByteArray firstPiece = fileBytes(dir.filePath("out/part_001.wav"));
    const auto runAgain = [&](const QStringList& options) {
        return testsupport::runProcess(
            testsupport::brevaneProgram(), cutOptions + options, dir.path());
    };
    const testsupport::ProcessResult second = runAgain({});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.standardError + second.standardOutput,
        "Output directory is in use by another run: out\n");
    EXPECT_TRUE(fileBytes(dir.filePath("out/part_001.wav")) == firstPiece);
    EXPECT_EQ(runAgain({ "--dry-run" }).exitCode, 0);
    send(SIGKILL);
    finish();
    EXPECT_EQ(runAgain({}).exitCode, 0);
}

} // namespace
