#pragma once
// Lets a test make every later operator new of the calling thread throw
// std::bad_alloc, as a process out of memory would. The thread keeps the
// state until it ends.

namespace ddtest {

void FailAllocationsOnThisThread();

}  // namespace ddtest
