# Sources free of Win32: they build into the DLL and, natively, into the
# sanitized unit tests and fuzz targets. Paths are relative to src/.
set(DD_PORTABLE_SOURCES
    driver/CustomActionData.cpp
    driver/DriverPackage.cpp
    driver/SelectionRules.cpp
    driver/install/InfDecoration.cpp
    frame/Format.cpp
    frame/KeptAnswers.cpp
    msi/PayloadText.cpp
    system/DecimalText.cpp
    system/LoadOrderList.cpp
    system/PathText.cpp
    system/ProcessOutput.cpp
    system/RecoveryImageText.cpp
    system/Utf16.cpp
    tables/CryptCatalogData.cpp
    tables/DriverRegistryData.cpp
    tables/EmptyKeyRule.cpp
    tables/MultiString.cpp
    tables/RegistryValueText.cpp
    tables/ServiceConfigProtectionData.cpp
    tables/UpperFilterOrder.cpp
    tables/encoding/Base64.cpp
    tables/encoding/EntryMap.cpp
    tables/encoding/EntryText.cpp
    tables/encoding/ListKeyCheck.cpp
)
