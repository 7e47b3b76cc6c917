#pragma once

// What the program says about how its cuts were chosen.

#include "brevane.h"

#include <QList>
#include <QString>

// "silence", "quietest", "forced" or "end".
QString cutKindName(brevane::CutKind kind);
