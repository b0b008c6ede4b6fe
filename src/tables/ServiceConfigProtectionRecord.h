#pragma once
// One ServiceConfigProtection row: a service to run as a protected
// (anti-malware light) service, and the command that lifts the protection.

#include <cstdint>
#include <string>
#include <vector>

namespace setup {

namespace service_protection_attribute {
constexpr int32_t IgnoreComponent = 0x1;  // selection decides on the condition alone
}  // namespace service_protection_attribute

struct ServiceConfigProtectionRecord {
    std::wstring id;            // ServiceConfigProtection key
    std::wstring name;          // service name
    std::vector<uint8_t> zbin;  // program from the Binary table; empty when none
    std::wstring uptcmd;        // command line that removes the protection
    int32_t attributes = 0;     // not carried to the deferred actions
    std::wstring cmp;
    std::wstring condition;

    bool operator==(const ServiceConfigProtectionRecord&) const = default;
};

}  // namespace setup
