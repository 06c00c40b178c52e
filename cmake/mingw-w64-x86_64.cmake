# Cross-compiles x86_64 Windows executables with mingw-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KG_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KG_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KG_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KG_MINGW_TRIPLET}-windres)

# Dependencies are cross-built into .deps/mingw by scripts/install-deps.
get_filename_component(KG_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(KG_DEPS_PREFIX "${KG_SOURCE_ROOT}/.deps/mingw" CACHE PATH "Cross-built dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/${KG_MINGW_TRIPLET} ${KG_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Statically linked: the executables need no DLLs under Wine or Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# find_package() looks for <prefix>/lib/cmake/... below each root path.
list(APPEND CMAKE_PREFIX_PATH "/")
