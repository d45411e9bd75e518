// Makes memory run out on chosen threads: while a FailingAllocations object lives, every
// allocation through operator new on a thread other than the allowed ones throws
// std::bad_alloc. The test program's operator new is replaced for this.
#pragma once

#include <windows.h>

#include <initializer_list>

namespace uitest {

class FailingAllocations {
  public:
    explicit FailingAllocations(std::initializer_list<DWORD> allowedThreads);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;

    // How many allocations were refused so far.
    static long Refused();
};

}  // namespace uitest
