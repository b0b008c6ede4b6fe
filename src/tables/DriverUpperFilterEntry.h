#pragma once
// One DriverUpperFilter row: a filter service to place in a device setup
// class's "UpperFilters" list, before (or after) the services it depends on.

#include <cstdint>
#include <string>

namespace setup {

namespace upper_filter_attribute {
constexpr uint32_t AfterLastDependency = 0x1;  // otherwise before the first dependency
}  // namespace upper_filter_attribute

struct DriverUpperFilterEntry {
    std::wstring id;             // DriverUpperFilter key
    std::wstring driverPackage;  // owning DriverPackage key
    std::wstring classGuid;      // with braces, as the class key is named
    std::wstring serviceName;
    std::wstring dependencies;   // service names joined by "[~]"
    std::wstring condition;      // carried along; no rule evaluates it
    uint32_t attributes = 0;

    bool operator==(const DriverUpperFilterEntry&) const = default;
};

}  // namespace setup
