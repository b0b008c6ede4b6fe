#include "driver/install/UninstallSteps.h"

#include "frame/Log.h"

namespace setup::driver {

void UninstallSteps::Failed(const wchar_t* step, const Exception& e) {
    Log(L"Uninstall step '%s' of driver package '%s' failed. %s Error 0x%x. The next steps go on.", step, package_.id,
        e.Message(), e.Code());
    if (!first_) {
        first_ = e;
    }
}

void UninstallSteps::Skip(const wchar_t* step, const wchar_t* failedStep) const {
    Log(L"Skip uninstall step '%s' of driver package '%s'. It needs the failed step '%s'.", step, package_.id, failedStep);
}

void UninstallSteps::Finish() const {
    if (first_) {
        throw Exception(first_->Code(), first_->Message(), package_.id);
    }
}

}  // namespace setup::driver
