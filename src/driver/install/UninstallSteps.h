#pragma once
// The steps of one package's removal, run so that a failing step does not
// keep the independent steps after it from running: a product must always
// be removable, and a removal that stops halfway leaves a driver whose
// service is gone and whose files, values and catalog stay. Each failure is
// logged with the step and the package; once every step ran, Finish throws
// the first failure again, so the package still counts as failed (not
// removed completely).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/DriverPackage.h"
#include "frame/Exception.h"

namespace setup::driver {

class UninstallSteps {
public:
    explicit UninstallSteps(const DriverPackage& package) : package_(package) {}

    // Runs one step; answers whether it succeeded. Only setup::Exception is
    // taken: anything else (out of memory) ends the package at once.
    template <class Step>
    bool Run(const wchar_t* step, Step body) {
        try {
            body();
            return true;
        } catch (const Exception& e) {
            Failed(step, e);
            return false;
        }
    }
    // A step that needs what an earlier, failed step should have done.
    void Skip(const wchar_t* step, const wchar_t* failedStep) const;
    // Throws the first failure (its code and message, the package id as
    // details) when any step failed.
    void Finish() const;

private:
    void Failed(const wchar_t* step, const Exception& e);

    const DriverPackage& package_;
    std::optional<Exception> first_;
};

}  // namespace setup::driver
