#include "cut_report.h"

QString forcedCutHint(const QList<brevane::Segment>& pieces, brevane::CutRule rule)
{
    qsizetype cuts = 0;
    qsizetype forced = 0;
    for (const brevane::Segment& piece : pieces) {
        cuts += piece.cut != brevane::CutKind::End;
        forced += piece.cut == brevane::CutKind::Forced;
    }
    if (forced == 0)
        return {};
    const QString counted = QStringLiteral("%1 of %2 %3 found")
                                .arg(forced)
                                .arg(cuts)
                                .arg(cuts == 1 ? QStringLiteral("cut") : QStringLiteral("cuts"));
    const QString made = forced == 1 ? QStringLiteral("was made") : QStringLiteral("were made");
    // The quietest rule needs no pause: it is forced only when no stretch of --min-silence
    // around a point within the tolerance lies inside the input, or no point lies on its grid.
    if (rule == brevane::CutRule::Quietest)
        return QStringLiteral("%1 no stretch to compare and %2 where the piece reached its "
                              "longest; try a shorter --min-silence, or a larger --tolerance")
            .arg(counted, made);
    return QStringLiteral("%1 no pause and %2 where the piece reached its longest; try --cut-at "
                          "quietest, or a higher --silence-level")
        .arg(counted, made);
}
