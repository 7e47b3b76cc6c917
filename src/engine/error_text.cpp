#include "error_text.h"

#include <QObject>

namespace brevane::detail {

QString trText(const char* sourceText)
{
    return QObject::staticMetaObject.tr(sourceText, nullptr, -1);
}

bool fail(QString* errorMessage, const QString& message)
{
    if (errorMessage)
        *errorMessage = message;
    return false;
}

QString ffmpegExitMessage(int exitCode, const QByteArray& standardError)
{
    return trText("ffmpeg exited with code %1: %2")
        .arg(exitCode)
        .arg(QString::fromUtf8(standardError).trimmed());
}

} // namespace brevane::detail
