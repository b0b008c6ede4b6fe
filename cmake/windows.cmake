# Cross build of driverdeploy.dll and its Windows tests, which run under Wine.

find_program(DD_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/bin NO_DEFAULT_PATH)
find_program(DD_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine /usr/bin NO_DEFAULT_PATH)
find_program(DD_PYTHON NAMES python3 REQUIRED)
find_program(DD_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
set(DD_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
configure_file(${CMAKE_SOURCE_DIR}/tests/tools/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

set(DD_DEFINES UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
set(DD_SYSTEM_LIBS msi setupapi newdev cfgmgr32 advapi32 ole32 oleaut32 uuid version rpcrt4 bcrypt kernel32 user32)
set(DD_WARNINGS -Wall -Wextra -Wno-cast-function-type -Wno-missing-field-initializers)

# Everything but the exports: linked into the DLL and into the test programs.
file(GLOB_RECURSE DD_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.cpp)
list(REMOVE_ITEM DD_WIN32_SOURCES ${CMAKE_SOURCE_DIR}/src/frame/Exports.cpp)
add_library(dd_core OBJECT ${DD_WIN32_SOURCES})
target_include_directories(dd_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(dd_core PUBLIC ${DD_DEFINES})
target_compile_options(dd_core PRIVATE ${DD_WARNINGS})

configure_file(${CMAKE_SOURCE_DIR}/src/driverdeploy.rc.in ${CMAKE_BINARY_DIR}/driverdeploy.rc @ONLY)
add_library(driverdeploy SHARED
    ${CMAKE_SOURCE_DIR}/src/frame/Exports.cpp
    ${CMAKE_SOURCE_DIR}/src/driverdeploy.def
    ${CMAKE_BINARY_DIR}/driverdeploy.rc
    $<TARGET_OBJECTS:dd_core>)
set_target_properties(driverdeploy PROPERTIES PREFIX "" OUTPUT_NAME driverdeploy)
target_include_directories(driverdeploy PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(driverdeploy PRIVATE ${DD_DEFINES})
# A static runtime: the DLL needs nothing but system DLLs on the target.
target_link_options(driverdeploy PRIVATE -static -s)
target_link_libraries(driverdeploy PRIVATE ${DD_SYSTEM_LIBS})

# Windows-side tools of the authoring kit (authoring/probe/*.cmake).
file(GLOB DD_KIT_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/authoring/probe/*.cmake)
foreach(tool ${DD_KIT_TOOLS})
    include(${tool})
endforeach()

if(BUILD_TESTING)
    include(cmake/windows-tests.cmake)
endif()
