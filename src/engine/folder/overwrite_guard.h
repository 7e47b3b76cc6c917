#pragma once

// The checks that no piece is written over the input file itself.

#include "folder/name_template.h"

#include <QString>

namespace brevane::detail {

// Fails with "Output file would overwrite the input: %1" when any of the first pieceCount
// pieces' output paths names the input file itself.
bool checkOutputsSpareInput(const QString& inputPath, const QString& outputDir,
    qsizetype pieceCount, QString* errorMessage, const QString& suffix = QStringLiteral("wav"),
    const NameTemplate& names = NameTemplate());

// The same for every entry of outputDir named as a piece (part_001.wav, part_002.wav, ..., or as
// names gives them): for a writer that learns the number of pieces only as it writes them.
bool checkPieceNamesSpareInput(const QString& inputPath, const QString& outputDir,
    QString* errorMessage, const QString& suffix = QStringLiteral("wav"),
    const NameTemplate& names = NameTemplate());

} // namespace brevane::detail
