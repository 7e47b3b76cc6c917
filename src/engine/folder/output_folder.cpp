#include "folder/output_folder.h"

#include "error_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace brevane::detail {

namespace {

    // The folders on the path that do not exist yet, deepest first, up to the nearest entry that
    // does (a dangling link counts, as mkdir will not replace it).
    QStringList missingFolders(const QString& path, QFileInfo* nearestEntry)
    {
        QStringList missing;
        QFileInfo entry(QDir(path).absolutePath());
        while (!entry.exists() && !entry.isSymLink() && !entry.isRoot()) {
            missing << entry.absoluteFilePath();
            entry.setFile(entry.absolutePath());
        }
        *nearestEntry = entry;
        return missing;
    }

    // Whether mkpath could make the missing folder: the nearest entry on its path that exists
    // must be a folder this process may add to.
    bool folderCouldBeMade(const QString& path)
    {
        QFileInfo entry;
        missingFolders(path, &entry);
        return entry.isDir()
            && ::access(QFile::encodeName(entry.absoluteFilePath()).constData(), W_OK | X_OK) == 0;
    }

} // namespace

OutputFolder::OutputFolder(const QString& path)
    : m_path(path)
{
}

// A dry run writes nothing, so it makes no folder either; but where a real run could not make
// it, such as under a name taken by a file, the dry run fails the same way.
bool OutputFolder::prepare(bool checkOnly, QString* errorMessage)
{
    const QDir folder(m_path);
    if (folder.exists())
        return true;
    if (checkOnly) {
        if (folderCouldBeMade(m_path))
            return true;
    } else {
        QFileInfo nearestEntry;
        const QStringList missing = missingFolders(m_path, &nearestEntry);
        if (folder.mkpath(QStringLiteral("."))) {
            m_made = missing;
            return true;
        }
    }
    return fail(errorMessage, trText("Failed to create output directory: %1").arg(m_path));
}

void OutputFolder::removeMadeIfEmpty()
{
    // rmdir takes only an empty folder, and a folder that still holds one stops the way up.
    for (const QString& path : std::as_const(m_made)) {
        if (::rmdir(QFile::encodeName(path).constData()) != 0)
            break;
    }
    m_made.clear();
}

} // namespace brevane::detail
