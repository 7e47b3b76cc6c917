#include "brevane.h"

namespace brevane {

PieceSeconds pieceSeconds(const Segment& piece, std::int64_t sampleRate)
{
    const double rate = double(sampleRate);
    return { double(piece.startFrame) / rate, double(piece.endFrame) / rate,
        double(piece.endFrame - piece.startFrame) / rate };
}

QString cutKindName(CutKind kind)
{
    switch (kind) {
    case CutKind::Silence:
        return QStringLiteral("silence");
    case CutKind::Quietest:
        return QStringLiteral("quietest");
    case CutKind::Forced:
        return QStringLiteral("forced");
    case CutKind::End:
        break;
    }
    return QStringLiteral("end");
}

} // namespace brevane
