#include "updater/trust.hpp"

#include <algorithm>

namespace updater {

bool isTrustedPublicKey(std::string_view publicKey) {
  return std::ranges::any_of(trustedPublicKeys, [publicKey](std::string_view trusted) {
    return !trusted.empty() && trusted == publicKey;
  });
}

}  // namespace updater
