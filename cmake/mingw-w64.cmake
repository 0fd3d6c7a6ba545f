# Cross-compiles for 64-bit Windows with Debian's MinGW-w64, against a Qt built for it
# (tools/windows/build-qt.sh). The posix thread model: the win32 one has no std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUMO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LUMO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMO_MINGW}-windres)

if(NOT LUMO_QT5_MINGW)
    if(DEFINED ENV{LUMO_QT5_MINGW})
        set(LUMO_QT5_MINGW $ENV{LUMO_QT5_MINGW})
    else()
        set(LUMO_QT5_MINGW /opt/lumo-qt5-mingw)
    endif()
endif()
set(LUMO_QT5_MINGW ${LUMO_QT5_MINGW} CACHE PATH "Qt 5 built for MinGW-w64")
# try_compile projects see the toolchain file but not the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMO_QT5_MINGW)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMO_MINGW} ${LUMO_QT5_MINGW})
set(CMAKE_PREFIX_PATH ${LUMO_QT5_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
