#include "pieces/written_piece.h"

#include "error_text.h"

#include <QStringList>

namespace brevane::detail {

bool checkMuxerReport(const QByteArray& standardError, const QString& childPath,
    const QString& piecePath, QString* errorMessage)
{
    // The lines that name the output exactly as it was given, so that nothing the input's
    // decoder says can be taken for them.
    const QStringList failures {
        QStringLiteral("Error writing trailer of ") + childPath + QStringLiteral(": "),
        QStringLiteral("Error closing file ") + childPath + QStringLiteral(": "),
    };
    const QStringList lines = QString::fromUtf8(standardError).split(u'\n');
    for (const QString& failure : failures) {
        for (const QString& line : lines) {
            if (line.startsWith(failure))
                return fail(errorMessage,
                    trText("Failed to write %1: %2")
                        .arg(piecePath, line.mid(failure.size()).trimmed()));
        }
    }
    return true;
}

} // namespace brevane::detail
