# Sources free of Win32: they build into the DLL and, natively, into the
# sanitized unit tests and fuzz targets. Paths are relative to src/.
set(DD_PORTABLE_SOURCES
    driver/install/InfDecoration.cpp
    frame/Format.cpp
    system/LoadOrderList.cpp
    system/PathText.cpp
    system/ProcessOutput.cpp
)
