#include "updater/route/frame_build.hpp"

#include <optional>
#include <span>

#include "common/errors.hpp"
#include "compress/zstd_codec.hpp"
#include "crypto/sha3.hpp"
#include "updater/route/delta_build.hpp"

namespace updater {
std::string buildFromFrame(std::string_view frame, const common::FileAt* reference,
                           const common::FileAt& staged, std::int64_t maxBytes,
                           std::string_view expected) {
  std::optional<common::MappedFile> mapped;
  if (reference != nullptr) {
    mapped.emplace(*reference);
  }
  common::AppendingFile file(staged, kStagedWriteBufferBytes);
  try {
    // Whatever the file held is no prefix of what the frame makes.
    file.truncate();
    crypto::Sha3Stream digest;
    compress::FrameReader reader(mapped ? mapped->bytes() : std::span<const std::uint8_t>(),
                                 maxBytes);
    reader.add({reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()},
               [&file, &digest](std::span<const std::uint8_t> bytes) {
                 const std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                                             bytes.size());
                 file.append(text);
                 digest.update(text);
               });
    reader.finish();
    std::string made = digest.finishHex();
    if (made != expected) {
      throw common::ValueError("it makes a file of another digest (" + made + ")");
    }
    file.close();
    return made;
  } catch (const common::Error&) {
    // recovery point: the next way starts from an empty staged file
    try {
      file.truncate();
    } catch (const common::Error&) {
      // recovery point: a file gone with a full disk; else its digest decides
    }
    throw;
  }
}

}  // namespace updater
