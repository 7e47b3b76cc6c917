#include "cut_report.h"

QString cutKindName(brevane::CutKind kind)
{
    switch (kind) {
    case brevane::CutKind::Silence:
        return QStringLiteral("silence");
    case brevane::CutKind::Quietest:
        return QStringLiteral("quietest");
    case brevane::CutKind::Forced:
        return QStringLiteral("forced");
    case brevane::CutKind::End:
        break;
    }
    return QStringLiteral("end");
}
