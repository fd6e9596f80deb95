# Cross toolchain for the driver image: 32-bit x86 Windows with the i686
# MinGW-w64 compiler (Debian package g++-mingw-w64-i686-win32).
#
#   cmake -S . -B build-sys -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DNIMB_SYS=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(NIMB_CROSS i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${NIMB_CROSS}-g++ ${NIMB_CROSS}-g++-win32 REQUIRED)
find_program(NIMB_DLLTOOL NAMES ${NIMB_CROSS}-dlltool REQUIRED)

# A kernel-mode image links against no C runtime, so the compiler checks
# only compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH /usr/${NIMB_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
