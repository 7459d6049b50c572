# Build-time half of the package_release target (see package.cmake), run as
#   cmake -DVANTREL_MAKENSIS=... -DVANTREL_WIXL=... -DVANTREL_MSI_ACTIONS=...
#         -DVANTREL_EXE=... -DVANTREL_SOURCE_DIR=... -DVANTREL_OUT_DIR=...
#         -DVANTREL_VERSION=2.4 -P package_release.cmake
# A missing makensis or wixl leaves out the setup program or the MSI package.

cmake_minimum_required(VERSION 3.20)

foreach(_var VANTREL_EXE VANTREL_SOURCE_DIR VANTREL_OUT_DIR VANTREL_VERSION)
    if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
        message(FATAL_ERROR "package_release: ${_var} is not set")
    endif()
endforeach()
if(NOT EXISTS "${VANTREL_EXE}")
    message(FATAL_ERROR "package_release: ${VANTREL_EXE} does not exist")
endif()

set(_stage "${VANTREL_OUT_DIR}/package-stage")
set(_setup "${VANTREL_OUT_DIR}/Vantrel-${VANTREL_VERSION}-setup.exe")
set(_zip "${VANTREL_OUT_DIR}/Vantrel-${VANTREL_VERSION}-win64.zip")
set(_msi "${VANTREL_OUT_DIR}/Vantrel-${VANTREL_VERSION}-x64.msi")

file(REMOVE_RECURSE "${_stage}")
file(MAKE_DIRECTORY "${_stage}")
file(COPY_FILE "${VANTREL_EXE}" "${_stage}/Vantrel.exe")

# The text files get Windows line ends: Notepad before Windows 10 and the
# setup program's licence page show a file with bare line feeds as one line.
function(vantrel_stage_text source name)
    file(READ "${source}" _text)
    string(REPLACE "\r\n" "\n" _text "${_text}")
    string(REPLACE "\n" "\r\n" _text "${_text}")
    file(WRITE "${_stage}/${name}" "${_text}")
endfunction()

set(_files Vantrel.exe)
if(NOT EXISTS "${VANTREL_SOURCE_DIR}/LICENSE")
    message(FATAL_ERROR "package_release: ${VANTREL_SOURCE_DIR}/LICENSE is missing")
endif()
vantrel_stage_text("${VANTREL_SOURCE_DIR}/LICENSE" LICENSE)
list(APPEND _files LICENSE)
set(_have_readme FALSE)
if(EXISTS "${VANTREL_SOURCE_DIR}/README.md")
    vantrel_stage_text("${VANTREL_SOURCE_DIR}/README.md" README.md)
    list(APPEND _files README.md)
    set(_have_readme TRUE)
else()
    message(WARNING "package_release: README.md is missing; packaging without it")
endif()

file(REMOVE "${_zip}")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${_zip}" --format=zip ${_files}
    WORKING_DIRECTORY "${_stage}"
    RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "package_release: making ${_zip} failed (${_result})")
endif()
message(STATUS "Made ${_zip}")

# Never leave an older setup program or MSI package next to a fresh zip.
file(REMOVE "${_setup}" "${_msi}")

# The MSI package: wixl runs on the build host and reads the staged files.
# It finds files by relative paths only, so it runs in the staging folder.
if(VANTREL_WIXL AND EXISTS "${VANTREL_WIXL}")
    if(NOT EXISTS "${VANTREL_MSI_ACTIONS}")
        message(FATAL_ERROR "package_release: ${VANTREL_MSI_ACTIONS} does not exist")
    endif()
    file(RELATIVE_PATH _actions "${_stage}" "${VANTREL_MSI_ACTIONS}")
    set(_wixl_defines -D Version=${VANTREL_VERSION} -D Stage=. -D "Actions=${_actions}")
    if(_have_readme)
        list(APPEND _wixl_defines -D Readme=1)
    endif()
    if(EXISTS "${VANTREL_SOURCE_DIR}/ui/art/program.ico")
        file(RELATIVE_PATH _icon "${_stage}" "${VANTREL_SOURCE_DIR}/ui/art/program.ico")
        list(APPEND _wixl_defines -D "Icon=${_icon}")
    endif()
    execute_process(
        COMMAND "${VANTREL_WIXL}" -a x64 ${_wixl_defines} -o "${_msi}"
            "${VANTREL_SOURCE_DIR}/installer/vantrel.wxs"
        WORKING_DIRECTORY "${_stage}"
        RESULT_VARIABLE _result)
    if(NOT _result EQUAL 0 OR NOT EXISTS "${_msi}")
        file(REMOVE "${_msi}")
        message(FATAL_ERROR "package_release: wixl failed (${_result})")
    endif()
    message(STATUS "Made ${_msi}")
else()
    message(STATUS "wixl not found: MSI package skipped (install wixl to make ${_msi})")
endif()

if(NOT VANTREL_MAKENSIS OR NOT EXISTS "${VANTREL_MAKENSIS}")
    message(STATUS "makensis not found: installer skipped (install NSIS to make ${_setup})")
    return()
endif()

function(vantrel_native out path)
    file(TO_NATIVE_PATH "${path}" _native)
    set(${out} "${_native}" PARENT_SCOPE)
endfunction()
vantrel_native(_n_exe "${_stage}/Vantrel.exe")
vantrel_native(_n_license "${_stage}/LICENSE")
vantrel_native(_n_readme "${_stage}/README.md")
vantrel_native(_n_icon "${VANTREL_SOURCE_DIR}/ui/art/program.ico")
vantrel_native(_n_setup "${_setup}")
vantrel_native(_n_script "${VANTREL_SOURCE_DIR}/installer/vantrel.nsi")

set(_defines
    "-DVERSION=${VANTREL_VERSION}"
    "-DVANTREL_EXE=${_n_exe}"
    "-DVANTREL_LICENSE=${_n_license}"
    "-DOUTFILE=${_n_setup}")
if(_have_readme)
    list(APPEND _defines "-DVANTREL_README=${_n_readme}")
endif()
if(EXISTS "${VANTREL_SOURCE_DIR}/ui/art/program.ico")
    list(APPEND _defines "-DVANTREL_ICON=${_n_icon}")
endif()

execute_process(
    COMMAND "${VANTREL_MAKENSIS}" -V2 -WX -INPUTCHARSET UTF8 ${_defines} "${_n_script}"
    RESULT_VARIABLE _result)
if(NOT _result EQUAL 0 OR NOT EXISTS "${_setup}")
    file(REMOVE "${_setup}")
    message(FATAL_ERROR "package_release: makensis failed (${_result})")
endif()
message(STATUS "Made ${_setup}")
