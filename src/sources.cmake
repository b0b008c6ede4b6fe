# Sources free of Win32: they build into the DLL and, natively, into the
# sanitized unit tests and fuzz targets. Paths are relative to src/.
set(DD_PORTABLE_SOURCES
    frame/Format.cpp
    system/PathText.cpp
    system/LoadOrderList.cpp
)
