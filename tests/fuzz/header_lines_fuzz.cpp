// Response header lines as libcurl hands them over: one per line feed of the
// input, through the block collector; every field line must read back.
#include "fuzz_input.hpp"
#include "http/response_headers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest = fuzzing::textOf(data, size);
  http::HeaderCollector collector;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = end == std::string_view::npos ? rest : rest.substr(0, end + 1);
    rest.remove_prefix(line.size());
    const bool blockEnded = collector.addLine(line);
    const http::ResponseHeaders& headers = collector.headers();
    if (blockEnded) {
      static_cast<void>(headers.find("content-range"));
      continue;
    }
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) {
      bare.remove_suffix(1);
    }
    if (const auto field = http::parseHeaderField(bare)) {
      TOLVEX_FUZZ_EXPECT(!field->first.empty());
      TOLVEX_FUZZ_EXPECT(field->first.find(':') == std::string_view::npos);
      TOLVEX_FUZZ_EXPECT(!field->second.starts_with(' ') && !field->second.ends_with(' '));
      // Unless the line began a block as its status line, its value is the field's.
      if (collector.statusLine() != bare) {
        TOLVEX_FUZZ_EXPECT(headers.find(field->first) == field->second);
      }
    }
  }
  return 0;
}
