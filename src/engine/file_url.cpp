#include "file_url.h"

namespace brevane::detail {

namespace {

    // libavformat takes the text before a path's first colon for the name of a protocol when
    // it holds nothing but these (a recorder's "2024-05-01T10:30.wav" included), and a path
    // beginning "subfile," with a colon anywhere for its subfile protocol.
    bool readAsProtocol(const QString& path)
    {
        const qsizetype colon = path.indexOf(u':');
        if (colon < 0)
            return false;
        for (qsizetype at = 0; at < colon; ++at) {
            const char16_t character = path.at(at).unicode();
            const bool schemeCharacter = (character >= u'a' && character <= u'z')
                || (character >= u'A' && character <= u'Z')
                || (character >= u'0' && character <= u'9') || character == u'+'
                || character == u'-' || character == u'.';
            if (!schemeCharacter)
                return path.startsWith(QStringLiteral("subfile,"));
        }
        return true;
    }

} // namespace

QString fileUrl(const QString& path)
{
    // The file protocol takes everything after "file:" as the path, colons included.
    return readAsProtocol(path) || path == QStringLiteral("-") ? QStringLiteral("file:") + path
                                                               : path;
}

} // namespace brevane::detail
