# The coverage build (the coverage preset): beside the converter, a second
# one built from the same sources without the 64-byte path. Where the
# processor has AVX-512 every run of the first takes that path; the tests
# that run the program run the second one too (tests/CMakeLists.txt), so
# the 16-byte path that every 32-bit Windows user gets is measured as well.
get_target_property(brush_core_sources brush_core SOURCES)
list(REMOVE_ITEM brush_core_sources ${BRUSH_WIDE_REWRITE_SOURCE})
add_library(brush_core_16byte STATIC ${brush_core_sources} tools/rewriting/WideRewriteFallback.cpp)
target_include_directories(brush_core_16byte PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
add_executable(BrushPreset_Convertion_16byte tools/MainPosix.cpp)
target_link_libraries(BrushPreset_Convertion_16byte PRIVATE brush_core_16byte)
