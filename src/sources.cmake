# Sources free of Win32: they build into the DLL and, natively, into the
# sanitized unit tests and fuzz targets. Paths are relative to src/.
set(DD_PORTABLE_SOURCES
    frame/Format.cpp
    system/PathText.cpp
    system/Utf16.cpp
    system/DecimalText.cpp
    tables/RegistryValueText.cpp
    tables/MultiString.cpp
    tables/UpperFilterOrder.cpp
    driver/DriverPackage.cpp
    driver/EntryText.cpp
    driver/EntryMap.cpp
    driver/Base64.cpp
    driver/CustomActionData.cpp
    driver/ListKeyCheck.cpp
)
