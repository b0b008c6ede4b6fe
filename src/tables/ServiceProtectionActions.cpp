// The six service protection actions: the immediate ones pick rows and
// schedule their rollback and deferred partners with the same data; those
// act on every record they receive.

#include "frame/ActionBodies.h"
#include "frame/InstallerCalls.h"
#include "tables/ServiceConfigProtectionData.h"
#include "tables/ServiceConfigProtectionTable.h"
#include "tables/ServiceProtection.h"

namespace setup::bodies {

namespace {

template <class Select>
void ScheduleSelected(Select select, const wchar_t* rollback, const wchar_t* deferred) {
    std::vector<ServiceConfigProtectionRecord> selected;
    for (ServiceConfigProtectionRecord& record : ReadServiceConfigProtectionTable()) {
        if (select(record)) {
            selected.push_back(std::move(record));
        }
    }
    if (selected.empty()) {
        return;
    }
    const std::wstring data = EncodeServiceConfigProtections(selected);
    ScheduleAction(rollback, data, 0);
    ScheduleAction(deferred, data, 0);
}

std::vector<ServiceConfigProtectionRecord> ReceivedRecords() {
    return DecodeServiceConfigProtections(GetProperty(L"CustomActionData"));
}

}  // namespace

void ProtectServices() { ScheduleSelected(ShouldProtectService, L"ProtectServicesRollback", L"ProtectServicesDeferred"); }

void ProtectServicesDeferred() { ProtectServiceList(ReceivedRecords(), false); }

void ProtectServicesRollback() { UnprotectServiceList(ReceivedRecords(), true); }

void UnprotectServices() {
    ScheduleSelected(ShouldUnprotectService, L"UnprotectServicesRollback", L"UnprotectServicesDeferred");
}

void UnprotectServicesDeferred() { UnprotectServiceList(ReceivedRecords(), false); }

void UnprotectServicesRollback() { ProtectServiceList(ReceivedRecords(), true); }

}  // namespace setup::bodies
