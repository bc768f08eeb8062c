# The Windows cross-build: the Qt-free libraries (protocol, platform with its win32 backend,
# capture, host, the viewer session, the configuration store) and the test suites that run
# under Wine.
#
# TLM_JPEG_PREFIX and TLM_SODIUM_PREFIX: libjpeg-turbo and libsodium built for MinGW
# (scripts/build-windows-jpeg and scripts/build-windows-sodium put them in <build>/deps/jpeg and
# <build>/deps/sodium). GoogleTest is built here from Debian's /usr/src/googletest.
set(TLM_JPEG_PREFIX "${PROJECT_BINARY_DIR}/deps/jpeg" CACHE PATH "libjpeg-turbo built for MinGW")
set(TLM_SODIUM_PREFIX "${PROJECT_BINARY_DIR}/deps/sodium" CACHE PATH "libsodium built for MinGW")
set(TLM_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(TLM_WITH_QT OFF)

if(NOT EXISTS ${TLM_JPEG_PREFIX}/lib/libjpeg.a)
  message(FATAL_ERROR "No MinGW libjpeg in ${TLM_JPEG_PREFIX}: run scripts/build-windows-jpeg ${PROJECT_BINARY_DIR}")
endif()
add_library(JPEG::JPEG STATIC IMPORTED)
set_target_properties(JPEG::JPEG PROPERTIES
  IMPORTED_LOCATION ${TLM_JPEG_PREFIX}/lib/libjpeg.a
  INTERFACE_INCLUDE_DIRECTORIES ${TLM_JPEG_PREFIX}/include)

if(NOT EXISTS ${TLM_SODIUM_PREFIX}/lib/libsodium.a)
  message(FATAL_ERROR "No MinGW libsodium in ${TLM_SODIUM_PREFIX}: run scripts/build-windows-sodium ${PROJECT_BINARY_DIR}")
endif()
# Linked statically: its header must not ask for DLL imports. Its random numbers come from
# advapi32's RtlGenRandom.
add_library(Sodium::Sodium STATIC IMPORTED)
set_target_properties(Sodium::Sodium PROPERTIES
  IMPORTED_LOCATION ${TLM_SODIUM_PREFIX}/lib/libsodium.a
  INTERFACE_INCLUDE_DIRECTORIES ${TLM_SODIUM_PREFIX}/include
  INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1
  INTERFACE_LINK_LIBRARIES advapi32)

# zlib for the lossless tiles: Debian's own MinGW build (libz-mingw-w64-dev), linked statically.
find_library(TLM_MINGW_ZLIB NAMES libz.a REQUIRED)
find_path(TLM_MINGW_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES
  IMPORTED_LOCATION ${TLM_MINGW_ZLIB}
  INTERFACE_INCLUDE_DIRECTORIES ${TLM_MINGW_ZLIB_INCLUDE})

find_package(Threads REQUIRED)
enable_testing()

configure_file(dist/Version.h.in ${PROJECT_BINARY_DIR}/generated/tlm/Version.h @ONLY)
add_library(tlmversion INTERFACE)
target_include_directories(tlmversion INTERFACE ${PROJECT_BINARY_DIR}/generated)

foreach(dir protocol platform capture host viewer app)
  add_subdirectory(${dir})
endforeach()

# The configuration store: Debian's SimpleIni is one header (used without its conversions), so
# a copy of it in the build folder serves the cross-compiler without the host's /usr/include.
file(COPY /usr/include/SimpleIni.h DESTINATION ${PROJECT_BINARY_DIR}/simpleini)
target_include_directories(appconfig SYSTEM PRIVATE ${PROJECT_BINARY_DIR}/simpleini)
# localtime_r from the MinGW C runtime headers.
target_compile_definitions(appconfig PRIVATE _POSIX_THREAD_SAFE_FUNCTIONS=200112L)

# GoogleTest from source, once per build folder; without its own install rules or warnings.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TLM_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# (GoogleTest's own CMakeLists names its targets GTest::gtest, GTest::gmock, ... as well.)

add_subdirectory(tests/windows)

# The program's icon for Windows, made from the one drawing the Linux packages use: PNGs of
# the sizes Windows asks for (rsvg-convert), packed into one .ico (icotool).
find_program(TLM_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(TLM_ICOTOOL icotool REQUIRED)
set(TLM_WINDOWS_ICON ${PROJECT_BINARY_DIR}/dist/TLMRemoteClient.ico)
set(TLM_ICON_PNGS)
foreach(size 16 24 32 48 256)
  set(png ${PROJECT_BINARY_DIR}/dist/icon-${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/dist
    COMMAND ${TLM_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${PROJECT_SOURCE_DIR}/dist/icons/tlmremoteclient.svg
    DEPENDS ${PROJECT_SOURCE_DIR}/dist/icons/tlmremoteclient.svg
    VERBATIM)
  list(APPEND TLM_ICON_PNGS ${png})
endforeach()
add_custom_command(OUTPUT ${TLM_WINDOWS_ICON}
  COMMAND ${TLM_ICOTOOL} -c -o ${TLM_WINDOWS_ICON} ${TLM_ICON_PNGS}
  DEPENDS ${TLM_ICON_PNGS}
  VERBATIM)
add_custom_target(tlm_windows_icon DEPENDS ${TLM_WINDOWS_ICON})
set(TLM_WINDOWS_MANIFEST ${PROJECT_SOURCE_DIR}/dist/windows/TLMRemoteClient.manifest)

# The native windows and the program TLMRemoteClient.exe.
add_subdirectory(winui)

# `make windows-installer`: TLMRemoteClient-<version>-setup.exe with NSIS.
find_program(TLM_MAKENSIS makensis)
if(TLM_MAKENSIS)
  set(TLM_WINDOWS_SETUP ${PROJECT_BINARY_DIR}/TLMRemoteClient-${PROJECT_VERSION}-setup.exe)
  add_custom_command(OUTPUT ${TLM_WINDOWS_SETUP}
    COMMAND ${TLM_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DPROGRAM=$<TARGET_FILE:TLMRemoteClient>
            -DICON=${TLM_WINDOWS_ICON} -DOUTFILE=${TLM_WINDOWS_SETUP}
            ${PROJECT_SOURCE_DIR}/dist/windows/TLMRemoteClient.nsi
    DEPENDS TLMRemoteClient ${TLM_WINDOWS_ICON} ${PROJECT_SOURCE_DIR}/dist/windows/TLMRemoteClient.nsi
    VERBATIM)
  add_custom_target(windows-installer DEPENDS ${TLM_WINDOWS_SETUP})
endif()
