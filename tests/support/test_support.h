#pragma once

// Helpers shared by the test programs: WAV files written byte by byte, child processes run to
// completion, and fake "ffmpeg" programs put first on PATH.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

namespace testsupport {

// Writes a canonical RIFF/WAVE file. format is 1 for integer PCM, 3 for IEEE float; data is
// the interleaved sample bytes as they go into the "data" chunk. dataSizeClaim, when not
// negative, is written into the data chunk header instead of data.size().
bool writeWavFile(const QString& path, int sampleRate, int channels, int bitsPerSample, int format,
    const QByteArray& data, qint64 dataSizeClaim = -1);

// Writes bytes to path, replacing what was there; true when all were written.
bool writeFile(const QString& path, const QByteArray& bytes);

// The bytes of the file at path; none where it cannot be read.
QByteArray fileBytes(const QString& path);

// 16-bit PCM from interleaved samples.
bool writeWav16(
    const QString& path, int sampleRate, int channels, const std::vector<std::int16_t>& samples);

// Raw little-endian float bytes, as the decoder writes them.
QByteArray floatBytes(const std::vector<float>& samples);

// Reads the samples of a 16-bit PCM WAV file (any chunk layout); empty on failure.
struct WavInfo {
    int format = 0;
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    QByteArray data;
};
bool readWav(const QString& path, WavInfo* info);

struct ProcessResult {
    bool started = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Runs program to completion. environment, when not empty, replaces the child's environment;
// standardOutputFile, when set, receives its standard output.
ProcessResult runProcess(const QString& program, const QStringList& arguments,
    const QString& workingDirectory = {}, const QProcessEnvironment& environment = {},
    const QString& standardOutputFile = {});

// The built brevane executable.
QString brevaneProgram();

// Runs the real ffmpeg quietly with the given arguments (after "-hide_banner -loglevel error
// -y"); true when it exits 0.
bool runFfmpeg(const QStringList& arguments);

// An executable named "ffmpeg" holding a shell script, in a directory of its own. While a
// ScopedPath for it lives, this process's PATH starts with that directory, so the engine and
// any child started with the inherited environment find it first.
class FakeFfmpeg {
public:
    explicit FakeFfmpeg(const QString& scriptBody);
    QString directory() const { return m_dir.path(); }
    // The file the script may use to record its arguments, one per line ("$FAKE_LOG").
    QString logPath() const { return m_dir.filePath(QStringLiteral("arguments.log")); }
    QStringList loggedArguments() const;
    // PATH with this directory first, for a child's environment.
    QProcessEnvironment environment() const;

private:
    QTemporaryDir m_dir;
};

class ScopedPath {
public:
    explicit ScopedPath(const QString& path);
    ~ScopedPath();
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    QByteArray m_saved;
};

} // namespace testsupport
