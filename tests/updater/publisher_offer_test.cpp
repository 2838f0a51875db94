#include "updater/route/publisher_offer.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using updater::PublisherOffer;

// What the offer says after `events`: m/d a changed target's description
// missed/found, n/N a new file's, R a release description that describes a
// version of 5000 bytes by its predecessors only, U one that is unusable.
TEST(PublisherOffer, CountsTheMissesOfNewFilesApart) {
  const std::string digest(64, 'a');
  formats::ReleaseDescription release;
  release.versions[digest.substr(0, 16)].file = {5000, 0, {}, {{std::string(64, 'b'), "x"}}};
  const std::optional<std::int64_t> least = formats::kMinimumDescribedBytes;
  const struct {
    std::string events;
    bool asks;
    bool asksNew;
    std::optional<std::int64_t> route;  // of a new file of version `digest`
  } cases[] = {
      {"", true, true, least},
      {"nnn", true, false, std::nullopt},
      {"Nnnn", true, true, least},
      {"dnnn", true, false, std::nullopt},
      {"mmm", false, false, std::nullopt},
      {"nnR", true, true, 5000},
      {"nnnU", true, false, std::nullopt},
      {"nU", true, true, least},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    PublisherOffer offer({"catalog", 100});
    for (const char event : c.events) {
      if (event == 'R' || event == 'U') {
        offer.releaseArrived(event == 'R' ? std::optional(release) : std::nullopt);
      } else if (event == 'm' || event == 'n') {
        offer.missed(event == 'n');
      } else {
        offer.described(event == 'N');
      }
    }
    EXPECT_EQ(offer.asksDescriptions(), c.asks);
    EXPECT_EQ(offer.asksNewDescriptions(), c.asksNew);
    EXPECT_EQ(offer.newFileRoute(digest), c.route);
    EXPECT_EQ(offer.newFileRoute(std::string(64, 'c')),
              c.events.ends_with('R') ? std::nullopt : c.route);
  }
}

}  // namespace
