#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

#include <cstdlib>
#include <cstring>

#ifdef BREVANE_SANITIZER_RUNTIME
// LeakSanitizer's check at the end of a process costs a tenth of a second, most of the time a
// test program takes for one case. It stays on in the programs the tests start, where the
// engine does its work, and is left off in the test programs themselves.
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

namespace testsupport {

namespace {

    void appendLe16(QByteArray& bytes, std::uint16_t value)
    {
        char buffer[2];
        qToLittleEndian(value, buffer);
        bytes.append(buffer, 2);
    }

    void appendLe32(QByteArray& bytes, std::uint32_t value)
    {
        char buffer[4];
        qToLittleEndian(value, buffer);
        bytes.append(buffer, 4);
    }

    // Byte by byte rather than through qFromLittleEndian, which GCC's sanitizer builds
    // misreport as reading out of bounds.
    std::uint32_t readLe(const QByteArray& bytes, qsizetype offset, int width)
    {
        std::uint32_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = value << 8 | std::uint8_t(bytes.at(offset + i));
        return value;
    }

} // namespace

bool writeWavFile(const QString& path, int sampleRate, int channels, int bitsPerSample, int format,
    const QByteArray& data, qint64 dataSizeClaim)
{
    const std::uint32_t dataSize
        = std::uint32_t(dataSizeClaim >= 0 ? dataSizeClaim : qint64(data.size()));
    const int blockAlign = channels * bitsPerSample / 8;
    QByteArray bytes;
    bytes.append("RIFF");
    appendLe32(bytes, 36 + dataSize);
    bytes.append("WAVEfmt ");
    appendLe32(bytes, 16);
    appendLe16(bytes, std::uint16_t(format));
    appendLe16(bytes, std::uint16_t(channels));
    appendLe32(bytes, std::uint32_t(sampleRate));
    appendLe32(bytes, std::uint32_t(sampleRate * blockAlign));
    appendLe16(bytes, std::uint16_t(blockAlign));
    appendLe16(bytes, std::uint16_t(bitsPerSample));
    bytes.append("data");
    appendLe32(bytes, dataSize);
    bytes.append(data);
    return writeFile(path, bytes);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeWav16(
    const QString& path, int sampleRate, int channels, const std::vector<std::int16_t>& samples)
{
    QByteArray data;
    data.reserve(qsizetype(samples.size() * 2));
    for (std::int16_t sample : samples)
        appendLe16(data, std::uint16_t(sample));
    return writeWavFile(path, sampleRate, channels, 16, 1, data);
}

QByteArray floatBytes(const std::vector<float>& samples)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(samples.size() * 4));
    for (float sample : samples) {
        std::uint32_t bits;
        std::memcpy(&bits, &sample, 4);
        appendLe32(bytes, bits);
    }
    return bytes;
}

bool readWav(const QString& path, WavInfo* info)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
        return false;
    qsizetype position = 12;
    bool haveFormat = false;
    while (position + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(position, 4);
        const std::uint32_t size = readLe(bytes, position + 4, 4);
        const qsizetype body = position + 8;
        if (id == "fmt " && body + 16 <= bytes.size()) {
            info->format = std::uint16_t(readLe(bytes, body, 2));
            info->channels = std::uint16_t(readLe(bytes, body + 2, 2));
            info->sampleRate = int(readLe(bytes, body + 4, 4));
            info->bitsPerSample = std::uint16_t(readLe(bytes, body + 14, 2));
            haveFormat = true;
        } else if (id == "data") {
            info->data = bytes.mid(body, qMin<qsizetype>(size, bytes.size() - body));
            return haveFormat;
        }
        position = body + size + (size & 1);
    }
    return false;
}

ProcessResult runProcess(const QString& program, const QStringList& arguments,
    const QString& workingDirectory, const QProcessEnvironment& environment,
    const QString& standardOutputFile)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!standardOutputFile.isEmpty())
        process.setStandardOutputFile(standardOutputFile);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start();
    ProcessResult result;
    result.started = process.waitForStarted(-1);
    if (!result.started)
        return result;
    process.closeWriteChannel();
    process.waitForFinished(-1);
    result.exitStatus = process.exitStatus();
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

QString brevaneProgram() { return QStringLiteral(BREVANE_PROGRAM); }

bool runFfmpeg(const QStringList& arguments)
{
    const ProcessResult result = runProcess(QStringLiteral("ffmpeg"),
        QStringList { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
            QStringLiteral("error"), QStringLiteral("-y") }
            + arguments);
    return result.started && result.exitStatus == QProcess::NormalExit && result.exitCode == 0;
}

FakeFfmpeg::FakeFfmpeg(const QString& scriptBody)
{
    QFile script(m_dir.filePath(QStringLiteral("ffmpeg")));
    if (script.open(QIODevice::WriteOnly)) {
        script.write("#!/bin/sh\nFAKE_LOG='" + logPath().toUtf8() + "'\n");
        script.write(scriptBody.toUtf8());
        script.write("\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
}

QStringList FakeFfmpeg::loggedArguments() const
{
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(log.readAll());
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text.split(QLatin1Char('\n'));
}

QProcessEnvironment FakeFfmpeg::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
        directory() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    return environment;
}

ScopedPath::ScopedPath(const QString& path)
    : m_saved(qgetenv("PATH"))
{
    qputenv("PATH", path.toLocal8Bit());
}

ScopedPath::~ScopedPath() { qputenv("PATH", m_saved); }

} // namespace testsupport
