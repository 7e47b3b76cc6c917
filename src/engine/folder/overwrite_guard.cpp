#include "folder/overwrite_guard.h"

#include "error_text.h"
#include "folder/piece_names.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <algorithm>

#include <sys/stat.h>

namespace brevane::detail {

namespace {

    bool spareInput(const struct stat& input, const QString& outputPath, QString* errorMessage)
    {
        struct stat output;
        if (::stat(QFile::encodeName(outputPath).constData(), &output) == 0
            && output.st_dev == input.st_dev && output.st_ino == input.st_ino)
            return fail(
                errorMessage, trText("Output file would overwrite the input: %1").arg(outputPath));
        return true;
    }

} // namespace

bool checkOutputsSpareInput(const QString& inputPath, const QString& outputDir,
    qsizetype pieceCount, QString* errorMessage, const QString& suffix, const NameTemplate& names)
{
    struct stat input;
    if (::stat(QFile::encodeName(inputPath).constData(), &input) != 0)
        return true;
    // ffmpeg refuses only when the two path texts are identical; with "-y" any other name for
    // the input, such as ./parts/part_001.wav for parts/part_001.wav, would be overwritten
    // while it is still being read.
    for (qsizetype index = 0; index < pieceCount; ++index) {
        if (!spareInput(input, piecePath(outputDir, index, suffix, names), errorMessage))
            return false;
    }
    return true;
}

bool checkPieceNamesSpareInput(const QString& inputPath, const QString& outputDir,
    QString* errorMessage, const QString& suffix, const NameTemplate& names)
{
    struct stat input;
    if (::stat(QFile::encodeName(inputPath).constData(), &input) != 0)
        return true;
    // Only the names the writer could reach matter; they are visited in piece order, so that
    // the message names the first piece that would overwrite the input. A name may begin with
    // a dot ("--name .{n}"), so hidden entries count.
    QList<qsizetype> indices;
    const QDir::Filters entries = QDir::AllEntries | QDir::System | QDir::Hidden;
    for (const QString& name : QDir(outputDir).entryList(entries)) {
        const qsizetype index = names.indexOf(name, suffix);
        if (index >= 0)
            indices.append(index);
    }
    std::sort(indices.begin(), indices.end());
    for (const qsizetype index : std::as_const(indices)) {
        if (!spareInput(input, piecePath(outputDir, index, suffix, names), errorMessage))
            return false;
    }
    return true;
}

} // namespace brevane::detail
