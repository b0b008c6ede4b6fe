# Sources free of Win32: they build into the DLL and, natively, into the
# sanitized unit tests and fuzz targets. Paths are relative to src/.
set(DD_PORTABLE_SOURCES
    driver/Base64.cpp
    driver/CustomActionData.cpp
    driver/DriverPackage.cpp
    driver/EntryMap.cpp
    driver/EntryText.cpp
    driver/ListKeyCheck.cpp
    driver/SelectionRules.cpp
    driver/install/InfDecoration.cpp
    frame/Format.cpp
    msi/PayloadText.cpp
    system/DecimalText.cpp
    system/LoadOrderList.cpp
    system/PathText.cpp
    system/ProcessOutput.cpp
    system/RecoveryImageText.cpp
    system/Utf16.cpp
    tables/MultiString.cpp
    tables/RegistryValueText.cpp
    tables/UpperFilterOrder.cpp
)
