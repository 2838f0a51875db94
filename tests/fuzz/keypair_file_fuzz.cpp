// The key file, read through its reader from a file in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "common/errors.hpp"
#include "formats/keypair_file.hpp"
#include "fuzz_input.hpp"

namespace {

int memoryFile = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memoryFile = ::memfd_create("keypair", MFD_CLOEXEC);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TOLVEX_FUZZ_EXPECT(memoryFile >= 0 && ::ftruncate(memoryFile, 0) == 0);
  TOLVEX_FUZZ_EXPECT(::pwrite(memoryFile, data, size, 0) == static_cast<ssize_t>(size));
  try {
    static_cast<void>(formats::loadKeypair("/proc/self/fd/" + std::to_string(memoryFile)));
  } catch (const common::JsonParsingError&) {
  } catch (const common::KeyError&) {
  } catch (const common::ValueError&) {
  } catch (const common::AssertionDefect&) {  // top level or key lengths
  }
  return 0;
}
