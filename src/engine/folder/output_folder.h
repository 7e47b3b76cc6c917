#pragma once

// The output folder as a run makes it: with its missing parents, and none of them left behind
// by a run that fails before a piece is in it.

#include <QString>
#include <QStringList>

namespace brevane::detail {

class OutputFolder {
public:
    explicit OutputFolder(const QString& path);

    // Makes the folder with every missing parent, and remembers which of them this run made.
    // With checkOnly (a dry run, which makes nothing) only checks that it could be made. Fails
    // with "Failed to create output directory: %1" (the path as given) where it cannot.
    bool prepare(bool checkOnly, QString* errorMessage);

    // Removes again the folders this run made, deepest first, each only while it is empty.
    void removeMadeIfEmpty();

private:
    const QString m_path;
    // Deepest first.
    QStringList m_made;
};

} // namespace brevane::detail
