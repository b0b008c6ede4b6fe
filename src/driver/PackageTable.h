#pragma once
// Reading the DriverPackage table into package records: formatted paths,
// defaults for null columns, the property overrides of the attribute bits,
// the package's registry and upper-filter rows, and the validation that
// rejects a row the later steps could not carry out.

#include "driver/DriverPackage.h"

namespace setup::driver {

// The packages of the active database in view order; none (logged) when the
// table is missing. An invalid row throws setup::Exception 0x8007000D and
// aborts the whole read.
DriverPackageList ReadDriverPackages();

// Throws setup::Exception 0x8007000D at the first rule the package breaks:
// no id, no component, no INF path, a condition the installer cannot parse.
void ValidateDriverPackage(const DriverPackage& package);

}  // namespace setup::driver
