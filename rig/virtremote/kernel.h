// The kernel's headers, as MinGW ships them, for C++: their own copies of two interlocked
// functions clash with the compiler's intrinsics, which come first, and are renamed out of the way.
#pragma once

#include <intrin.h>
#define InterlockedBitTestAndSet KernelHeaderBitTestAndSet
#define InterlockedBitTestAndReset KernelHeaderBitTestAndReset
#include <ddk/ntddk.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
