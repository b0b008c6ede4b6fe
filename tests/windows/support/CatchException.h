#pragma once
// The setup::Exception a body throws, for tests that look at its code,
// message and details; a body that throws none fails the test.

#include <gtest/gtest.h>

#include <functional>

#include "frame/Exception.h"

namespace ddtest {

inline setup::Exception CatchSetupException(const std::function<void()>& body) {
    try {
        body();
    } catch (const setup::Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no setup::Exception was thrown";
    return setup::Exception(0, L"", L"");
}

}  // namespace ddtest
