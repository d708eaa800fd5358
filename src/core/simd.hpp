// The vector loops of the passes over nodes and elements (the engine's and
// the exact module's inline passes): which instruction sets they are built
// for, and how many entries a block of them holds.
//
// A function marked PELORIN_VECTOR is built for AVX-512 (x86-64-v4: twice
// the registers, and mask registers for the selects), for AVX2 and for the
// baseline of the target, and the loader picks one when the library is
// loaded.  The loops in them use only +, -, *, / and selects in the lanes
// and the build contracts nothing into fused multiply-adds, so each build
// gives the same bits as the scalar code.  Elsewhere than x86-64 Linux they
// are built once, and under the thread sanitizer too (the loader's pick runs
// before its runtime is up).
#pragma once

namespace pelorin::simd {

// Entries of a block: the arrays a pass keeps per block on the stack, and
// the multiple at which a range is split between two threads.
constexpr int kBlock = 128;

}  // namespace pelorin::simd

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define PELORIN_VECTOR __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define PELORIN_VECTOR
#endif
