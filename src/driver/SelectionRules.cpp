#include "driver/SelectionRules.h"

#include <string_view>
#include <vector>

#include "frame/Exception.h"
#include "frame/Format.h"
#include "frame/HResult.h"
#include "msi/ComponentTerms.h"

namespace setup::driver {

namespace {

template <class... Args>
void Say(SelectionFacts& facts, std::wstring_view format, const Args&... args) {
    facts.Log(text::Format(format, args...));
}

bool HasAttribute(const DriverPackage& package, uint32_t bit) { return (package.attributes & bit) != 0; }

int32_t Number(ComponentToDo toDo) { return static_cast<int32_t>(toDo); }

// Each fact is asked only when a rule reaches it: the product lookups are
// installer round trips, and the log shows exactly what was asked.
bool IsComponentInstalled(const DriverPackage& package, SelectionFacts& facts) {
    return facts.IsInstalledByProduct(facts.GetComponentGuid(package.component));
}

bool IsPreviousVersionInstalled(const DriverPackage& package, SelectionFacts& facts) {
    for (const std::wstring& guid : package.previousVersionGuids) {
        if (facts.IsInstalledByProduct(guid)) {
            return true;
        }
    }
    return false;
}

bool IsInstalled(const DriverPackage& package, SelectionFacts& facts) {
    return IsComponentInstalled(package, facts) || IsPreviousVersionInstalled(package, facts);
}

// The install-side rules share their first three steps and differ in texts.
struct InstallTexts {
    const wchar_t* nullAction;
    const wchar_t* notMarked;
    const wchar_t* removeOnInstall;
    const wchar_t* condition;
};

// Returns false after logging when a shared step skips; the condition result
// is handed back for the rule's own condition step.
bool PassesInstallSteps(const DriverPackage& package, SelectionFacts& facts, const InstallTexts& texts, ComponentToDo& toDo) {
    toDo = facts.GetComponentToDo(package.component);
    if (IsNullAction(toDo)) {
        Say(facts, texts.nullAction, package.id);
        return false;
    }
    if (!IsMarkedToInstall(toDo)) {
        Say(facts, texts.notMarked, package.id);
        return false;
    }
    if (HasAttribute(package, attribute::RemoveOnInstall)) {
        Say(facts, texts.removeOnInstall, package.id);
        return false;
    }
    return true;
}

bool PassesCondition(const DriverPackage& package, SelectionFacts& facts, const wchar_t* skipText) {
    const int32_t result = facts.EvaluateCondition(package.condition);
    if (!ConditionPasses(result)) {
        Say(facts, skipText, package.id, result);
        return false;
    }
    return true;
}

struct UninstallTexts {
    const wchar_t* nullAction;
    const wchar_t* removeOnInstall;
    const wchar_t* fileAbsent;
    const wchar_t* removeOnInstallNotReinstall;
    const wchar_t* notFound;
    const wchar_t* condition;
    const wchar_t* need;
    // Only the uninstall itself asks for the attribute; its rollback restores
    // whatever was installed.
    bool needsUninstallPreviousVersion;
};

constexpr wchar_t kNotMarkedToUninstall[] =
    L"Skip uninstallation of '%s' driver. Component is not marked to uninstall and has not uninstall previous version attribute.";

bool DecideUninstall(const DriverPackage& package, SelectionFacts& facts, const UninstallTexts& texts) {
    const ComponentToDo toDo = facts.GetComponentToDo(package.component);
    switch (toDo) {
    case ComponentToDo::None:
        Say(facts, texts.nullAction, package.id);
        return false;
    case ComponentToDo::Uninstall: {
        if (HasAttribute(package, attribute::RemoveOnInstall)) {
            Say(facts, texts.removeOnInstall, package.id);
            return false;
        }
        const ComponentState state = facts.GetComponentState(package.component);
        if (state.result != 0) {
            Say(facts, L"Failed to get '%s' component state. Error: 0x%x.", package.id, HResultFromWin32(state.result));
            return false;
        }
        if (IsFileAbsent(state.installed, state.action)) {
            Say(facts, texts.fileAbsent, package.id);
            return false;
        }
        break;
    }
    case ComponentToDo::Reinstall:
        if (HasAttribute(package, attribute::RemoveOnInstall)) {
            Say(facts, texts.removeOnInstallNotReinstall, package.id);
            return false;
        }
        [[fallthrough]];
    case ComponentToDo::Install:
        if (texts.needsUninstallPreviousVersion && !HasAttribute(package, attribute::UninstallPreviousVersion)) {
            Say(facts, kNotMarkedToUninstall, package.id);
            return false;
        }
        if (!IsInstalled(package, facts)) {
            Say(facts, texts.notFound, package.id);
            return false;
        }
        break;
    }
    if (!PassesCondition(package, facts, texts.condition)) {
        return false;
    }
    Say(facts, texts.need, package.id, Number(toDo));
    return true;
}

}  // namespace

namespace selection {

bool IsEarlyInstallCandidate(const DriverPackage& package, SelectionFacts& facts) {
    if (!HasAttribute(package, attribute::InstallEarly)) {
        Say(facts, L"The driver '%s' is not marked to install early.", package.id);
        return false;
    }
    if (facts.GetProperty(L"RESUME") == L"1") {
        Say(facts, L"Force install driver '%s' early. The suspended installation is resuming.", package.id);
        return true;
    }
    if (IsInstalled(package, facts)) {
        Say(facts, L"The component of driver '%s' is already installed.", package.id);
        return false;
    }
    return true;
}

bool ShouldInstall(const DriverPackage& package, SelectionFacts& facts) {
    static constexpr InstallTexts texts = {
        L"Skip installation of driver '%s' for null-action component.",
        L"Skip installation of '%s' driver. Component is not marked to install.",
        L"Skip installation of '%s' driver. The driver marked to remove on install.",
        L"Skip installation of '%s' driver. Condition is '%d'.",
    };
    ComponentToDo toDo = ComponentToDo::None;
    if (!PassesInstallSteps(package, facts, texts, toDo) || !PassesCondition(package, facts, texts.condition)) {
        return false;
    }
    if (IsEarlyInstallCandidate(package, facts)) {
        Say(facts, L"Skip installation of '%s' driver. Component is marked to install early and not installed.", package.id);
        return false;
    }
    Say(facts, L"Need to install '%s' driver. Component to do %d.", package.id, Number(toDo));
    return true;
}

bool ShouldInstallEarly(const DriverPackage& package, SelectionFacts& facts) {
    static constexpr InstallTexts texts = {
        L"Skip early installation of driver for null-action component '%s'.",
        L"Skip early installation of '%s' driver. Component is not marked to install.",
        L"Skip early installation of '%s' driver. The driver marked to remove on install.",
        L"Skip early installation of '%s' driver. Condition is '%d'.",
    };
    ComponentToDo toDo = ComponentToDo::None;
    if (!PassesInstallSteps(package, facts, texts, toDo) || !PassesCondition(package, facts, texts.condition)) {
        return false;
    }
    if (!IsEarlyInstallCandidate(package, facts)) {
        Say(facts, L"Skip early installation of '%s' driver. Component is not marked to install early or already installed.", package.id);
        return false;
    }
    Say(facts, L"Need to early install '%s' driver. Component to do %d.", package.id, Number(toDo));
    return true;
}

bool ShouldRollbackInstall(const DriverPackage& package, SelectionFacts& facts) {
    static constexpr InstallTexts texts = {
        L"Skip rollback installation of driver '%s' for null-action component.",
        L"Skip rollback installation of '%s' driver. Component is not marked to install.",
        L"Skip rollback installation of '%s' driver. The driver marked to remove on install.",
        L"Skip rollback installation of '%s' driver. Condition is '%d'.",
    };
    ComponentToDo toDo = ComponentToDo::None;
    if (!PassesInstallSteps(package, facts, texts, toDo)) {
        return false;
    }
    // An installed version that is not uninstalled first is restored by the
    // uninstall rollback instead.
    if (!HasAttribute(package, attribute::UninstallPreviousVersion) && IsInstalled(package, facts)) {
        Say(facts, L"Skip rollback installation of '%s' driver. Rollback must be processed in UninstallDriversRollback action.", package.id);
        return false;
    }
    if (!PassesCondition(package, facts, texts.condition)) {
        return false;
    }
    if (IsEarlyInstallCandidate(package, facts)) {
        Say(facts, L"Skip rollback installation of '%s' driver. Component is marked to install early and not installed.", package.id);
        return false;
    }
    Say(facts, L"Need to rollback installation of '%s' driver. Component to do %d.", package.id, Number(toDo));
    return true;
}

bool ShouldUninstall(const DriverPackage& package, SelectionFacts& facts) {
    static constexpr UninstallTexts texts = {
        L"Skip uninstallation of driver for null-action component '%s'.",
        L"Skip uninstallation of '%s' driver. The driver marked to remove on install.",
        L"Skip uninstallation of '%s' driver. Component action is FileAbsent.",
        L"Skip uninstallation of '%s' driver. The driver marked to remove on install (not reinstall).",
        L"Skip uninstallation of '%s' driver. Installed components not found.",
        L"Skip uninstallation of '%s' driver. Condition is '%d'.",
        L"Need to uninstall '%s' driver. Component to do %d.",
        true,
    };
    return DecideUninstall(package, facts, texts);
}

bool ShouldRollbackUninstall(const DriverPackage& package, SelectionFacts& facts) {
    static constexpr UninstallTexts texts = {
        L"Skip rollback uninstallation of driver for null-action component '%s'.",
        L"Skip rollback uninstallation of '%s' driver. The driver marked to remove on install.",
        L"Skip rollback uninstallation of '%s' driver. Component action is FileAbsent.",
        L"Skip rollback uninstallation of '%s' driver. The driver marked to remove on install (not reinstall).",
        L"Skip rollback uninstallation of '%s' driver. Installed components not found.",
        L"Skip rollback uninstallation of '%s' driver. Condition is '%d'.",
        L"Need to rollback uninstall '%s' driver. Component to do %d.",
        false,
    };
    return DecideUninstall(package, facts, texts);
}

bool ShouldFinalize(const DriverPackage& package, SelectionFacts& facts) {
    if (!HasAttribute(package, attribute::StartTypeOnFinalize)) {
        return false;
    }
    Say(facts, L"Need to finalize installation of driver package '%s'.", package.id);
    return true;
}

bool ShouldConfigureRecovery(const DriverPackage& package, SelectionFacts& facts) {
    if (!HasAttribute(package, attribute::WinRe)) {
        return false;
    }
    Say(facts, L"Need to add/remove driver package '%s' to Windows Recovery Environment.", package.id);
    return true;
}

bool IsDriverPresent(const DriverPackage& package, SelectionFacts& facts) {
    std::vector<std::wstring> candidates{facts.GetComponentGuid(package.component)};
    candidates.insert(candidates.end(), package.previousVersionGuids.begin(), package.previousVersionGuids.end());
    for (const std::wstring& candidate : candidates) {
        if (!facts.IsInstalledByProduct(candidate)) {
            Say(facts, L"The component '%s' is not installed for driver package '%s'.", candidate, package.id);
            continue;
        }
        try {
            const std::wstring service = facts.GetInstalledDriverService(candidate, package.infPath);
            Say(facts, L"Driver package '%s' component '%s' is installed and the service '%s' exists.", package.id, candidate, service);
            return true;
        } catch (const Exception& e) {
            Say(facts, L"Driver package '%s' component '%s' is installed but service is not exists. %s Error 0x%x.", package.id,
                candidate, e.Message(), e.Code());
        }
    }
    return false;
}

}  // namespace selection

bool HasSequence(const DriverPackage& package) { return package.sequence != kNoSequence; }
bool HasNoSequence(const DriverPackage& package) { return package.sequence == kNoSequence; }

}  // namespace setup::driver
