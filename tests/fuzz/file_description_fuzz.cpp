// A file or release description from a server: what parses is written back
// the same way and reads as the same description.
#include "common/errors.hpp"
#include "formats/file_description.hpp"
#include "formats/release_description.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const formats::FileDescription description =
        formats::parseFileDescription(fuzzing::textOf(data, size));
    TOLVEX_FUZZ_EXPECT(formats::parseFileDescription(formats::describe(description)) ==
                       description);
  } catch (const common::ValueError&) {
    // malformed: the client goes on without it
  }
  try {
    const formats::ReleaseDescription release =
        formats::parseReleaseDescription(fuzzing::textOf(data, size));
    TOLVEX_FUZZ_EXPECT(formats::parseReleaseDescription(formats::describeRelease(release)) ==
                       release);
  } catch (const common::ValueError&) {
    // malformed: its files are described one by one
  }
  return 0;
}
