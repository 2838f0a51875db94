#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/temp_dir.hpp"

namespace testing_support {

// Sets (or, with std::nullopt, removes) an environment variable for the
// lifetime of the object and restores the previous state afterwards.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* previous = std::getenv(name_.c_str())) {
      previous_ = previous;
    }
    apply(value);
  }
  ~ScopedEnvironmentVariable() { apply(previous_); }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

  std::string name_;
  std::optional<std::string> previous_;
};

// A publisher's HOME and an empty working directory, both in force while it lives.
struct PublisherDirectories {
  TempDir home;
  TempDir work;
  ScopedEnvironmentVariable homeVariable{"HOME", home.path()};
  ScopedWorkingDirectory cwd{work.path()};
};

}  // namespace testing_support
