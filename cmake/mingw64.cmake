# The same code for 64-bit Windows, which Wine runs here.
set(BRUSH_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
