#include "tests/ui/failing_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace uitest {
namespace {

constexpr int kMaxAllowed = 4;
std::atomic<bool> g_armed{false};
std::atomic<DWORD> g_allowed[kMaxAllowed];
std::atomic<long> g_refused{0};

bool MustFail() {
    if (!g_armed.load()) {
        return false;
    }
    DWORD self = GetCurrentThreadId();
    for (const auto& allowed : g_allowed) {
        if (allowed.load() == self) {
            return false;
        }
    }
    ++g_refused;
    return true;
}

}  // namespace

FailingAllocations::FailingAllocations(std::initializer_list<DWORD> allowedThreads) {
    int i = 0;
    for (DWORD thread : allowedThreads) {
        if (i < kMaxAllowed) {
            g_allowed[i++] = thread;
        }
    }
    for (; i < kMaxAllowed; ++i) {
        g_allowed[i] = 0;
    }
    g_refused = 0;
    g_armed = true;
}

FailingAllocations::~FailingAllocations() {
    g_armed = false;
}

long FailingAllocations::Refused() {
    return g_refused.load();
}

}  // namespace uitest

// The replaced allocation functions; the array forms of the library come here too.
void* operator new(std::size_t size) {
    if (uitest::MustFail()) {
        throw std::bad_alloc();
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
