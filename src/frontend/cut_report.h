#pragma once

// What the program says about how its cuts were chosen: a hint for a person at a terminal when
// cuts fell in sound. The name of each kind in the JSON outputs is brevane::cutKindName.

#include "brevane.h"

#include <QList>
#include <QString>

// One line, without its newline, counting the forced cuts among all cuts (the end of the input
// is none) and naming what would help under the rule that was used; empty when no cut was
// forced.
QString forcedCutHint(const QList<brevane::Segment>& pieces, brevane::CutRule rule);
