#pragma once
// The process-wide locks around the read-modify-write of values that the
// package threads share with each other: one lock per kind of value, held
// from the read to the write, so that no thread writes back a list that
// another thread changed after it read.

#include <mutex>

namespace setup {

enum class SharedValue {
    ClassList,      // class "UpperFilters" lists and multi-strings merged by DriverRegistry rows
    LoadOrderList,  // the tag lists under GroupOrderList
};

// Sees every read-modify-write from within its lock, between the read and
// the write: how a test double finds out whether two ever overlap.
class SharedValueWatch {
public:
    virtual ~SharedValueWatch() = default;
    virtual void Changing(SharedValue kind) = 0;
};

// Set by tests only; nullptr (the default) watches nothing.
void WatchSharedValues(SharedValueWatch* watch);

class SharedValueLock {
public:
    explicit SharedValueLock(SharedValue kind);
    SharedValueLock(const SharedValueLock&) = delete;
    SharedValueLock& operator=(const SharedValueLock&) = delete;

    // Called once the value was read and before it is written back.
    void Changing() const;

private:
    SharedValue kind_;
    std::lock_guard<std::mutex> hold_;
};

}  // namespace setup
