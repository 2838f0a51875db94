// The publisher keys this client accepts are fixed when it is built
// (-DTOLVEX_TRUSTED_KEYS); an empty slot is unused and never matches.
#include "cli/entry.hpp"

int main(int argc, char** argv) {
  return cli::runMain(argc, argv, {TOLVEX_TRUSTED_KEY_1, TOLVEX_TRUSTED_KEY_2});
}
