#include "crypto/lane_width.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "crypto/keccak_lanes.hpp"

namespace crypto {

LaneWidth widestLaneWidth() {
  // The Keccak lanes need the most of the processor: the other paths run
  // wherever they do.
  static const LaneWidth widest = cpuRunsKeccakX8()   ? LaneWidth::kEight
                                  : cpuRunsKeccakX4() ? LaneWidth::kFour
                                                      : LaneWidth::kOne;
  return widest;
}

LaneWidth laneWidthFromSetting(const char* setting) {
  const LaneWidth widest = widestLaneWidth();
  if (setting == nullptr || *setting == '\0') {
    return widest;
  }
  const std::string_view value(setting);
  for (const LaneWidth width : {LaneWidth::kOne, LaneWidth::kFour, LaneWidth::kEight}) {
    if (value == std::to_string(static_cast<int>(width))) {
      return std::min(width, widest);
    }
  }
  throw common::ValueError("TOLVEX_SHA3_LANES must be 1, 4 or 8, not '" + std::string(value) + "'");
}

}  // namespace crypto
