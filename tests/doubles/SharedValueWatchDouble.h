#pragma once
// Test double of the watch on shared values: each read-modify-write is held
// open for a moment between its read and its write, so that two threads
// changing one value without the lock would be seen overlapping, and would
// lose each other's change.

#include <windows.h>

#include <atomic>

#include "system/SharedValueLock.h"

namespace ddtest {

class SharedValueWatchDouble : public setup::SharedValueWatch {
public:
    explicit SharedValueWatchDouble(DWORD holdMilliseconds = 30) : hold_(holdMilliseconds) {
        setup::WatchSharedValues(this);
    }
    ~SharedValueWatchDouble() override { setup::WatchSharedValues(nullptr); }
    SharedValueWatchDouble(const SharedValueWatchDouble&) = delete;
    SharedValueWatchDouble& operator=(const SharedValueWatchDouble&) = delete;

    void Changing(setup::SharedValue) override {
        const int now = ++inside_;
        ++changes_;
        int most = most_.load();
        while (now > most && !most_.compare_exchange_weak(most, now)) {
        }
        Sleep(hold_);
        --inside_;
    }

    int MostAtOnce() const { return most_.load(); }
    int Changes() const { return changes_.load(); }

private:
    DWORD hold_;
    std::atomic<int> inside_{0};
    std::atomic<int> most_{0};
    std::atomic<int> changes_{0};
};

}  // namespace ddtest
