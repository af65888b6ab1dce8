# The 32-bit Windows executable: the deliverable.
set(BRUSH_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
