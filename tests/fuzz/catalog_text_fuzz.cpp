// The catalog text that a server sends: read whole and read from a file, the
// two readers must agree; a release line that parses is in its one written form.
#include <cstdio>

#include "common/errors.hpp"
#include "formats/catalog_file.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzzing::textOf(data, size);
  const std::vector<formats::CatalogEntry> entries = formats::parseCatalog(text);
  for (const auto& entry : entries) {
    TOLVEX_FUZZ_EXPECT(!entry.path.starts_with('/'));
    TOLVEX_FUZZ_EXPECT(entry.path.find("..") == std::string::npos);
  }
  std::FILE* file = std::tmpfile();
  TOLVEX_FUZZ_EXPECT(file != nullptr);
  TOLVEX_FUZZ_EXPECT(std::fwrite(text.data(), 1, text.size(), file) == text.size());
  std::rewind(file);
  TOLVEX_FUZZ_EXPECT(formats::readCatalog(file) == entries);
  std::fclose(file);
  try {
    if (const auto release = formats::parseCatalogRelease(text)) {
      std::string line(text.substr(0, text.find('\n')));
      TOLVEX_FUZZ_EXPECT(formats::releaseLine(*release) == line + "\n");
    }
  } catch (const common::ValueError&) {
    // recovery point: a malformed release line is what the reader reports
  }
  return 0;
}
