// Hot passes built twice where the system loader picks among versions (ELF, on x86, with GCC):
// for SSE2 and for AVX, whose three-operand instructions spare the register copies of SSE2's
// two-operand ones. Both do the same IEEE 754 operations in the same order (AVX brings no fused
// multiply-add), so they give the same bits; the processor's own picks which runs.
#pragma once

#if defined(__SSE2__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define GRINDLET_WIDE_TOO __attribute__((target_clones("avx", "default")))
#else
#define GRINDLET_WIDE_TOO
#endif
