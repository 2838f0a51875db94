#include <gtest/gtest.h>

#include "http/curl_library.hpp"

namespace {

// Binds libcurl once before any test runs, as the program's entry point does.
class CurlEnvironment : public testing::Environment {
 public:
  void SetUp() override { http::loadCurlLibrary(); }
};

const testing::Environment* const kCurlEnvironment =
    testing::AddGlobalTestEnvironment(new CurlEnvironment);

}  // namespace
