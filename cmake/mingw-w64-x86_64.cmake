# Cross build of the Windows program on Linux with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_prefix x86_64-w64-mingw32)
# The posix-threads flavour of the compiler ships std::thread and std::mutex.
find_program(_mingw_cxx NAMES ${_mingw_prefix}-g++-posix ${_mingw_prefix}-g++ REQUIRED)
find_program(_mingw_cc NAMES ${_mingw_prefix}-gcc-posix ${_mingw_prefix}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${_mingw_cc})
set(CMAKE_CXX_COMPILER ${_mingw_cxx})
set(CMAKE_RC_COMPILER ${_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(VANTREL_MESSAGE_COMPILER ${_mingw_prefix}-windmc CACHE FILEPATH "Message compiler")
