#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/file.hpp"

namespace updater {

// Writes the staged file `staged` afresh from `frame`, a patch made against
// the target `reference` or (without one) a compressed copy, of at most
// `maxBytes` decoded bytes, appending them in order and hashing them as they
// are written; the target is mapped, never read into memory. Returns the
// digest text once it is `expected`. Throws ValueError for a frame that
// compress::FrameReader refuses or whose bytes are not the catalog's file,
// IOError or OSError when a file cannot be read or written; the staged file
// is then left empty, so that no download appends to what it made.
std::string buildFromFrame(std::string_view frame, const common::FileAt* reference,
                           const common::FileAt& staged, std::int64_t maxBytes,
                           std::string_view expected);

}  // namespace updater
