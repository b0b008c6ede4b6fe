#include "system/SharedValueLock.h"

#include <atomic>

namespace setup {

namespace {

std::atomic<SharedValueWatch*> g_watch{nullptr};

std::mutex& LockOf(SharedValue kind) {
    static std::mutex classLists;
    static std::mutex loadOrderLists;
    return kind == SharedValue::LoadOrderList ? loadOrderLists : classLists;
}

}  // namespace

void WatchSharedValues(SharedValueWatch* watch) { g_watch.store(watch); }

SharedValueLock::SharedValueLock(SharedValue kind) : kind_(kind), hold_(LockOf(kind)) {}

void SharedValueLock::Changing() const {
    if (SharedValueWatch* watch = g_watch.load()) {
        watch->Changing(kind_);
    }
}

}  // namespace setup
