// Busy waits measured on the performance counter.
#pragma once

#include <cstdint>

// Spins, without sleeping or yielding, until more than ms milliseconds have passed.
// A negative count returns after the first look at the counter.
void WaitMs(int32_t ms);
