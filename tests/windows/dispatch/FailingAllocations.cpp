#include "windows/dispatch/FailingAllocations.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool t_failing = false;

void* Allocate(std::size_t size) {
    if (t_failing) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

namespace ddtest {

void FailAllocationsOnThisThread() { t_failing = true; }

}  // namespace ddtest

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
