#include "folder/run_record.h"

#include "error_text.h"
#include "folder/folder_lock.h"
#include "folder/piece_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace brevane {

namespace detail {

    namespace {

        // Raised whenever the record's layout or meaning changes: an older record then
        // matches nothing, and its input is split again.
        constexpr int recordVersion = 1;

        QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

        // A file's size and modification time, in nanoseconds: a file rewritten in place keeps
        // its name but not both of these.
        std::optional<QJsonObject> fileIdentity(const QString& path)
        {
            struct stat status;
            if (::stat(QFile::encodeName(path).constData(), &status) != 0
                || !S_ISREG(status.st_mode))
                return std::nullopt;
            return QJsonObject { { QStringLiteral("size"), qint64(status.st_size) },
                { QStringLiteral("modified"),
                    qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec } };
        }

        std::optional<CutKind> cutKindNamed(const QString& name)
        {
            for (const CutKind kind :
                { CutKind::End, CutKind::Silence, CutKind::Quietest, CutKind::Forced }) {
                if (cutKindName(kind) == name)
                    return kind;
            }
            return std::nullopt;
        }

        // A piece as the record names it, if it is still on disk as it was written: a piece
        // removed, cut short or rewritten by another split does not count as done.
        std::optional<Segment> recordedPiece(
            const QJsonObject& entry, const QString& outputDir, std::int64_t sampleRate)
        {
            const QString name = entry.value(QStringLiteral("name")).toString();
            const std::optional<CutKind> cut
                = cutKindNamed(entry.value(QStringLiteral("cut")).toString());
            const qint64 start = entry.value(QStringLiteral("startFrame")).toInteger(-1);
            const qint64 end = entry.value(QStringLiteral("endFrame")).toInteger(-1);
            if (name.isEmpty() || name.contains(u'/') || name == QLatin1String(".")
                || name == QLatin1String("..") || !cut || start < 0 || end <= start)
                return std::nullopt;
            const QString path = QDir(outputDir).filePath(name);
            const std::optional<QJsonObject> identity = fileIdentity(path);
            if (!identity
                || identity->value(QStringLiteral("size")) != entry.value(QStringLiteral("size"))
                || identity->value(QStringLiteral("modified"))
                    != entry.value(QStringLiteral("modified")))
                return std::nullopt;
            return pieceRecord(path, sampleRate, InternalSegment { start, end, *cut });
        }

    } // namespace

    QString runRecordPath(const QString& outputDir)
    {
        return QDir(outputDir).filePath(QStringLiteral(".brevane-record.json"));
    }

    QJsonObject recordedOptions(
        double maxSeconds, double toleranceSeconds, const SplitOptions& options)
    {
        // Not recorded, as they leave the pieces as they are: dryRun (writes none), stop,
        // keepRunRecord, and maxPieceSizeText (maxPieceBytes as typed, for a message).
        return {
            { QStringLiteral("max"), maxSeconds },
            { QStringLiteral("tolerance"), toleranceSeconds },
            { QStringLiteral("cutRule"), int(options.cutRule) },
            { QStringLiteral("silenceLevel"), options.silenceLevel },
            { QStringLiteral("minSilence"), options.minSilenceSeconds },
            // One pass writes its WAV pieces' headers itself, and converts rate and channels
            // from its own 16-bit samples: the bytes may differ from the default mode's.
            { QStringLiteral("onePass"), options.onePass },
            // The stream the pieces are taken from, and their timestamps.
            { QStringLiteral("anyInput"), options.anyInput },
            { QStringLiteral("format"), int(options.format) },
            { QStringLiteral("bitRate"), qint64(options.bitRate) },
            { QStringLiteral("sampleRate"), qint64(options.sampleRate) },
            { QStringLiteral("channelCount"), options.channelCount },
            { QStringLiteral("maxPieceBytes"), qint64(options.maxPieceBytes) },
            { QStringLiteral("nameTemplate"), options.nameTemplate },
            { QStringLiteral("tags"), options.tags },
        };
    }

    QJsonObject runKey(const QString& inputPath, double maxSeconds, double toleranceSeconds,
        const SplitOptions& options)
    {
        std::optional<QJsonObject> input = fileIdentity(inputPath);
        if (!input)
            return {};
        input->insert(QStringLiteral("path"), QFileInfo(inputPath).absoluteFilePath());
        return { { QStringLiteral("record"), recordVersion }, { QStringLiteral("input"), *input },
            { QStringLiteral("options"), recordedOptions(maxSeconds, toleranceSeconds, options) } };
    }

    bool removeRunRecord(const QString& outputDir, QString* errorMessage)
    {
        const QString path = runRecordPath(outputDir);
        if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT)
            return true;
        return fail(errorMessage,
            trText("Failed to remove the run record %1: %2").arg(path, systemReason(errno)));
    }

    bool writeRunRecord(const QString& outputDir, const QJsonObject& key,
        const StreamFormat& format, const QList<Segment>& pieces, QString* errorMessage)
    {
        const QString path = runRecordPath(outputDir);
        const auto failWith = [&](const QString& reason) {
            return fail(
                errorMessage, trText("Failed to write the run record %1: %2").arg(path, reason));
        };
        QJsonArray entries;
        for (const Segment& piece : pieces) {
            std::optional<QJsonObject> entry = fileIdentity(piece.filePath);
            if (!entry)
                return failWith(systemReason(ENOENT));
            entry->insert(QStringLiteral("name"), QFileInfo(piece.filePath).fileName());
            entry->insert(QStringLiteral("startFrame"), qint64(piece.startFrame));
            entry->insert(QStringLiteral("endFrame"), qint64(piece.endFrame));
            entry->insert(QStringLiteral("cut"), cutKindName(piece.cut));
            entries.append(*entry);
        }
        QJsonObject record = key;
        record.insert(QStringLiteral("sampleRate"), qint64(format.sampleRate));
        record.insert(QStringLiteral("channels"), format.channelCount);
        record.insert(QStringLiteral("pieces"), entries);

        const QString scratch
            = QDir(outputDir).filePath(QStringLiteral(".brevane-record.brevane-scratch"));
        QFile file(scratch);
        const QByteArray bytes = QJsonDocument(record).toJson(QJsonDocument::Indented);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(bytes) != bytes.size() || !file.flush()) {
            const QString reason = file.errorString();
            file.remove();
            return failWith(reason);
        }
        file.close();
        if (::rename(QFile::encodeName(scratch).constData(), QFile::encodeName(path).constData())
            != 0) {
            const int error = errno;
            QFile::remove(scratch);
            return failWith(systemReason(error));
        }
        return true;
    }

} // namespace detail

bool findFinishedRun(const QString& inputPath, const QString& outputDir, double maxSeconds,
    double toleranceSeconds, const SplitOptions& options, QList<Segment>* outSegments,
    StreamFormat* format)
{
    using namespace detail;
    // A split that holds the folder may be rewriting the very pieces the record names.
    FolderLock folderLock;
    if (!outSegments || !folderLock.lock(outputDir, nullptr))
        return false;
    const QJsonObject key = runKey(inputPath, maxSeconds, toleranceSeconds, options);
    QFile file(runRecordPath(outputDir));
    if (key.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject record = QJsonDocument::fromJson(file.readAll()).object();
    for (auto field = key.begin(); field != key.end(); ++field) {
        if (record.value(field.key()) != field.value())
            return false;
    }
    const qint64 sampleRate = record.value(QStringLiteral("sampleRate")).toInteger();
    const int channelCount = record.value(QStringLiteral("channels")).toInt();
    const QJsonArray entries = record.value(QStringLiteral("pieces")).toArray();
    if (sampleRate < 1 || channelCount < 1 || entries.isEmpty())
        return false;
    QList<Segment> pieces;
    pieces.reserve(entries.size());
    for (const QJsonValue& entry : entries) {
        const std::optional<Segment> piece = recordedPiece(entry.toObject(), outputDir, sampleRate);
        if (!piece)
            return false;
        pieces.append(*piece);
    }
    *outSegments = pieces;
    if (format)
        *format = { sampleRate, channelCount };
    return true;
}

} // namespace brevane
