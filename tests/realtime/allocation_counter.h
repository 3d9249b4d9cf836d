// Counts of allocations and mutex calls in the test process (allocation_counter.cpp interposes
// them; link it into the test program, with -rdynamic so that loaded libraries see it too).
#pragma once

namespace grindlet::test {

// Counting happens only while armed: around the calls that must not allocate or lock.
void armAllocationCounter(bool on);
void resetCountedCalls();
// Allocator and mutex calls made while armed since the last reset.
long countedCalls();
// Blocks allocated and not yet freed, armed or not.
long liveAllocations();

}  // namespace grindlet::test
