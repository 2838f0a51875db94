#include "http/ranges_answer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "http/response_headers.hpp"

namespace {

const std::string& fileContent() {
  static const std::string content = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
      text += static_cast<char>('a' + i % 26);
    }
    return text;
  }();
  return content;
}

// One part of a multipart/byteranges body with boundary B, as nginx frames it.
std::string part(int first, int last, std::string_view delimiter = "\r\n--B\r\n") {
  std::string text(delimiter);
  text += "Content-Type: application/octet-stream\r\nContent-Range: bytes " +
          std::to_string(first) + "-" + std::to_string(last) + "/1000\r\n\r\n";
  text += fileContent().substr(first, last - first + 1);
  return text;
}

std::string repeated(std::string_view text, int count) {
  std::string result;
  for (int i = 0; i < count; ++i) {
    result += text;
  }
  return result;
}

// Hands `answer` a header block written "STATUS\nName: value\n...".
void headersArrive(http::RangesAnswer& answer, std::string_view head) {
  std::optional<std::string_view> contentType;
  std::optional<std::string_view> contentRange;
  const std::size_t feed = head.find('\n');
  for (std::string_view rest = head.substr(std::min(feed, head.size())); !rest.empty();) {
    rest.remove_prefix(1);
    const auto field = http::parseHeaderField(rest.substr(0, rest.find('\n')));
    (field->first == "Content-Type" ? contentType : contentRange) = field->second;
    rest.remove_prefix(std::min(rest.find('\n'), rest.size()));
  }
  answer.headersArrived(std::stoi(std::string(head.substr(0, feed))), contentType, contentRange);
}

TEST(RangesAnswer, ServesRangesOnlyFromAnAnswerThatHoldsThemInOrder) {
  struct Case {
    const char* name;
    std::string head;
    std::string body;
    std::size_t arrived;  // ranges handed over, of the two asked
    bool usable;
  };
  const std::string end = "\r\n--B--\r\n";
  const std::string both = part(100, 109) + part(500, 519);
  const std::string multi = "206\nContent-Type: multipart/byteranges; boundary=B";
  const std::vector<Case> cases = {
      {"nginx", multi, both + end, 2, true},
      {"no preamble, quoted boundary, padding, bare line feeds",
       "206\nContent-Type: Multipart/ByteRanges;charset=x; boundary=\"B\"",
       part(100, 109, "--B \n") + part(500, 519, "\n--B\t\n") + "\n--B-- \nepilogue", 2, true},
      {"merged into one part", multi, part(90, 529) + end, 2, true},
      {"merged into one partial answer", "206\nContent-Range: bytes 100-519/1000",
       fileContent().substr(100, 420), 2, true},
      {"only the first range", "206\nContent-Range: bytes 100-109/1000",
       fileContent().substr(100, 10), 1, false},
      {"whole file", "200", fileContent(), 0, false},
      {"out of order", multi, part(500, 519) + part(100, 109) + end, 0, false},
      {"overlapping", multi, part(100, 109) + part(105, 519) + end, 1, false},
      {"a part ends inside a range", multi, part(100, 109) + part(500, 510) + end, 1, false},
      {"a range missing", multi, part(100, 109) + end, 1, false},
      {"a part not asked for", multi, both + part(900, 901) + end, 2, false},
      {"part shorter than it says", multi,
       part(100, 109) + part(500, 519).substr(0, 90) + part(900, 909) + end, 1, false},
      // 103 of the 104 bytes: the CR of the delimiter after it must not stand in for the last.
      {"part one byte short", multi, part(100, 109) + part(500, 519).substr(0, 103) + end, 1,
       false},
      {"part longer than it says", multi, part(100, 109) + "x" + part(500, 519) + end, 0, false},
      {"no closing delimiter", multi, both, 1, false},
      {"no boundary", "206\nContent-Type: multipart/byteranges", both + end, 0, false},
      {"boundary of 71 characters",
       "206\nContent-Type: multipart/byteranges; boundary=" + std::string(71, 'B'), both + end, 0,
       false},
      {"part without Content-Range", multi,
       "--B\r\nContent-Type: x\r\n\r\n" + fileContent().substr(100, 10) + end, 0, false},
      {"endless preamble line", multi, std::string(5000, 'p') + both + end, 0, false},
      {"too many fields", multi, "--B\r\n" + repeated("X: y\r\n", 20) + part(100, 109, "") + end, 0,
       false},
      {"far more bytes than asked", multi, both + end + std::string(40000, 'e'), 2, false},
  };
  const std::vector<http::ByteRange> asked = {{100, 10}, {500, 20}};
  EXPECT_EQ(http::rangeRequest(asked), "bytes=100-109,500-519");
  for (const Case& c : cases) {
    // Whole, and byte by byte as a slow network may hand it over.
    for (const std::size_t piece : {c.body.size(), std::size_t{1}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      http::RangesAnswer answer(asked);
      headersArrive(answer, c.head);
      for (std::size_t at = 0; at < c.body.size(); at += piece) {
        answer.bodyArrived(std::string_view(c.body).substr(at, piece));
      }
      answer.bodyEnded();
      const std::vector<std::string> arrived = answer.takeArrived();
      ASSERT_EQ(arrived.size(), c.arrived);
      for (std::size_t i = 0; i < arrived.size(); ++i) {
        EXPECT_EQ(arrived[i], fileContent().substr(asked[i].first, asked[i].length));
      }
      EXPECT_EQ(answer.usable(), c.usable) << answer.problem();
      EXPECT_EQ(answer.problem().empty(), c.usable);
    }
  }
}

}  // namespace
