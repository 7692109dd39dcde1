# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which std::thread needs). Programs are linked fully static, so they run
# without hunting for libgcc, libstdc++ or winpthread DLLs, and they run here
# under wine through scripts/wine-run.sh, which uses a wine prefix inside the
# build directory (never the user's own).
#
#   cmake -S . -B build/mingw -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DRILVET_BUILD_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RILVET_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RILVET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RILVET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RILVET_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RILVET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Qt-free test programs are linked fully static; the Qt program (and Qt
# itself, scripts/mingw-qt.sh) with -DRILVET_MINGW_STATIC=OFF uses the DLLs
# shipped beside it.
if(NOT DEFINED RILVET_MINGW_STATIC OR RILVET_MINGW_STATIC)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endif()
# Where scripts/mingw-qt.sh built Qt and libjpeg for Windows, if given.
if(RILVET_MINGW_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH "${RILVET_MINGW_QT}/qt" "${RILVET_MINGW_QT}/jpeg")
endif()

# Test programs (and GoogleTest's discovery) run under wine. The prefix lives
# in the build directory; RILVET_WINEPREFIX in the environment overrides it.
get_filename_component(_rilvet_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(RILVET_WINEPREFIX_DIR "${CMAKE_BINARY_DIR}/wineprefix")
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_rilvet_source_dir}/scripts/wine-run.sh;--prefix;${RILVET_WINEPREFIX_DIR}")
unset(_rilvet_source_dir)
