// TTilePlan: what a capture sends besides "every changed tile at one quality". The streamer
// fills it for the link-paced preset; the plain presets leave Refine empty and give both
// qualities the same value.
#pragma once

#include <cstdint>
#include <vector>

namespace tlm {

struct TTilePlan {
  // JPEG quality of the tiles that changed since the previous capture (all of them in a full
  // picture).
  int ChangedQuality = 60;
  // JPEG quality of the unchanged tiles marked in Refine.
  int RefineQuality = 60;
  // One entry per tile of the previous capture's grid, row by row: nonzero sends that tile
  // again at RefineQuality although it did not change. Ignored when its size is not the grid's
  // (the grid changed, or no plan); a tile that changed is sent at ChangedQuality whatever it says.
  std::vector<uint8_t> Refine;
};

// What a capture found, tile by tile: the grid's size and, row by row, 1 for each tile sent
// because it changed (every tile of a full picture), 2 for each unchanged tile sent again at
// the refine quality, 0 for the rest; and in Exact, the same size, 1 for each tile sent without
// loss (a palette tile, protocol/PaletteTile.h), which no refinement can improve. Both empty
// when the capture took no picture.
struct TTileReport {
  int Cols = 0;
  int Rows = 0;
  std::vector<uint8_t> Tiles;
  std::vector<uint8_t> Exact;
  static constexpr uint8_t Unchanged = 0, Changed = 1, Refined = 2;
};

}  // namespace tlm
