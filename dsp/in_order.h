// Arithmetic in a fixed operand order. When both operands are NaN, x86 returns the first one's,
// and a compiler may swap the operands of a commutative operation as it likes. Every loop (and
// every x86 build) uses these for the additions and products whose operands may both be NaN, so
// that the NaNs agree too: the ramp first, the difference first. (GCC and clang.) WebAssembly
// gives any NaN's payload as it likes, so there the plain operations are all there is to have.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace grindlet::dsp {

#if defined(__SSE2__)

#define GRINDLET_IN_ORDER(NAME, TYPE, INSTRUCTION)                  \
    inline TYPE NAME(TYPE first, TYPE second) {                     \
        __asm__(INSTRUCTION " %1, %0" : "+x"(first) : "x"(second)); \
        return first;                                               \
    }

GRINDLET_IN_ORDER(addInOrder, float, "addss")
GRINDLET_IN_ORDER(multiplyInOrder, double, "mulsd")
GRINDLET_IN_ORDER(addLanesInOrder, __m128, "addps")
GRINDLET_IN_ORDER(multiplyLanesInOrder, __m128, "mulps")
GRINDLET_IN_ORDER(multiplyLanesInOrder, __m128d, "mulpd")

#undef GRINDLET_IN_ORDER

#else

inline float addInOrder(float first, float second) { return first + second; }
inline double multiplyInOrder(double first, double second) { return first * second; }

#endif

}  // namespace grindlet::dsp
