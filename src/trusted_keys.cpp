// The publisher keys this client accepts, fixed when it is built (-DTOLVEX_TRUSTED_KEYS).
// An empty slot is unused and never matches.
#include "updater/trust.hpp"

namespace updater {

const std::array<std::string_view, 2> trustedPublicKeys{TOLVEX_TRUSTED_KEY_1, TOLVEX_TRUSTED_KEY_2};

}  // namespace updater
