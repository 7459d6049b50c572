# Release package of the Windows build: `cmake --build <dir> --target package_release`
# makes <dir>/Vantrel-<major>.<minor>-setup.exe (when NSIS is available) and
# <dir>/Vantrel-<major>.<minor>-win64.zip.

set(_vantrel_pf86 "ProgramFiles(x86)")
find_program(VANTREL_MAKENSIS
    NAMES makensis
    PATHS
        "$ENV{ProgramFiles}/NSIS"
        "$ENV{${_vantrel_pf86}}/NSIS"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\NSIS]"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\NSIS]"
    DOC "NSIS compiler that builds the setup program"
    # A cross toolchain may confine program look-ups to its sysroot; makensis
    # is a build-host tool.
    NO_CMAKE_FIND_ROOT_PATH)
unset(_vantrel_pf86)

if(NOT VANTREL_MAKENSIS)
    message(STATUS "makensis not found: package_release will make the zip only")
endif()

get_filename_component(_vantrel_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The work happens in a script at build time, not here, so that a README.md
# written after the configure step is still packaged, and a stale setup
# program never survives a build without makensis.
add_custom_target(package_release
    COMMAND "${CMAKE_COMMAND}"
        "-DVANTREL_MAKENSIS=${VANTREL_MAKENSIS}"
        "-DVANTREL_EXE=$<TARGET_FILE:Vantrel>"
        "-DVANTREL_SOURCE_DIR=${_vantrel_source_dir}"
        "-DVANTREL_OUT_DIR=${CMAKE_BINARY_DIR}"
        "-DVANTREL_VERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
        -P "${CMAKE_CURRENT_LIST_DIR}/package_release.cmake"
    COMMENT "Packaging Vantrel ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
    VERBATIM)
add_dependencies(package_release Vantrel)
unset(_vantrel_source_dir)
