// A replaced global operator new that can be told to fail, for tests that
// check how the library behaves when memory runs out. Linked into the test
// binary, it also serves the library's allocations.
#pragma once

namespace sanperf_test {

// Makes the n-th allocation from now on (1 = the next one) throw
// std::bad_alloc; 0 disarms. The failure fires once.
void fail_nth_allocation(long n);

// True iff the armed failure has fired since fail_nth_allocation was called.
bool allocation_failure_fired();

// The number of blocks allocated through operator new and not yet freed.
long live_allocations();

}  // namespace sanperf_test
