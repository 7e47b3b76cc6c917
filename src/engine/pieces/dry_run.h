#pragma once

// A dry run: the cuts found and the pieces reported, nothing written.

#include "pieces/piece_output.h"

#include <memory>

namespace brevane::detail {

std::unique_ptr<PieceOutput> makeDryRunOutput(const PieceJob& job);

} // namespace brevane::detail
