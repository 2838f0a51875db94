#include "updater/apply/staged_file.hpp"

#include "common/output.hpp"

namespace updater {

void reportRefusal(const std::string& path, std::string_view reason) {
  common::printErr("");
  common::printErr("error: not updating " + path + ": " + std::string(reason));
}

}  // namespace updater
