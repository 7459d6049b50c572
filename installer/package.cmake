# Release package of the Windows build: `cmake --build <dir> --target package_release`
# makes <dir>/Vantrel-<major>.<minor>-setup.exe (when NSIS is available),
# <dir>/Vantrel-<major>.<minor>-x64.msi (when wixl is available) and
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
    message(STATUS "makensis not found: package_release will make no setup program")
endif()

# wixl (msitools) builds the MSI package from WiX source on the build host.
find_program(VANTREL_WIXL
    NAMES wixl
    DOC "wixl, which builds the MSI package"
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT VANTREL_WIXL)
    message(STATUS "wixl not found: package_release will make no MSI package")
endif()

# The MSI package's custom actions. Only the package needs them, so they are
# built for it alone; linked statically, they need no DLL that Windows lacks.
add_library(vantrel_msi_actions MODULE EXCLUDE_FROM_ALL "${CMAKE_CURRENT_LIST_DIR}/msi_actions.cpp")
target_compile_definitions(vantrel_msi_actions PRIVATE ${VANTREL_WIN_DEFINITIONS})
target_link_libraries(vantrel_msi_actions PRIVATE msi advapi32)
vantrel_warnings(vantrel_msi_actions)
set_target_properties(vantrel_msi_actions PROPERTIES PREFIX "" OUTPUT_NAME msi_actions)
if(NOT MSVC)
    target_link_options(vantrel_msi_actions PRIVATE -static -s)
endif()

get_filename_component(_vantrel_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The work happens in a script at build time, not here, so that a README.md
# written after the configure step is still packaged, and a stale setup
# program or MSI package never survives a build without makensis or wixl.
add_custom_target(package_release
    COMMAND "${CMAKE_COMMAND}"
        "-DVANTREL_MAKENSIS=${VANTREL_MAKENSIS}"
        "-DVANTREL_WIXL=${VANTREL_WIXL}"
        "-DVANTREL_MSI_ACTIONS=$<TARGET_FILE:vantrel_msi_actions>"
        "-DVANTREL_EXE=$<TARGET_FILE:Vantrel>"
        "-DVANTREL_SOURCE_DIR=${_vantrel_source_dir}"
        "-DVANTREL_OUT_DIR=${CMAKE_BINARY_DIR}"
        "-DVANTREL_VERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
        -P "${CMAKE_CURRENT_LIST_DIR}/package_release.cmake"
    COMMENT "Packaging Vantrel ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
    VERBATIM)
add_dependencies(package_release Vantrel vantrel_msi_actions)
unset(_vantrel_source_dir)
