#pragma once

#include <cstdint>

// For code written once on GCC's vector types and compiled for several
// instruction sets. Each lane (a message, a state) is one element of every
// vector: vector w holds word w of all the lanes, so one instruction advances
// the same step of every lane. The code takes the instruction set of the
// function it is inlined into, which carries it as an attribute: the program
// runs on any x86-64, and those paths only where the processor has them.
// Vectors go to the inlined helpers by reference: passed or returned by value,
// they would change the calling convention with the target, which gcc warns
// about.

namespace crypto {

using U64x4 = std::uint64_t __attribute__((vector_size(32)));
using U64x8 = std::uint64_t __attribute__((vector_size(64)));

}  // namespace crypto

#define TOLVEX_INLINE [[gnu::always_inline]] inline
#define TOLVEX_AVX2 __attribute__((target("avx2")))
