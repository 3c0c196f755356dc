#include "support/failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> countdown{0};
std::atomic<bool> fired{false};
std::atomic<long> live{0};

}  // namespace

namespace sanperf_test {

void fail_nth_allocation(long n) {
    fired = false;
    countdown = n;
}

bool allocation_failure_fired() { return fired; }

long live_allocations() { return live; }

}  // namespace sanperf_test

void* operator new(std::size_t size) {
    if (countdown.load() > 0 && countdown.fetch_sub(1) == 1) {
        fired = true;
        throw std::bad_alloc();
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    ++live;
    return p;
}

void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    --live;
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
