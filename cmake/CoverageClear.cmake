# Removes the coverage counters of earlier runs below BUILD_DIR, so that the
# report counts this run alone, and lets every user write counters there:
# the permission cases run the converter as user 65534 (the tests run with
# umask 0, so that either user can add to the counters of the other).
file(GLOB_RECURSE counters "${BUILD_DIR}/*.gcda")
if(counters)
  file(REMOVE ${counters})
endif()
file(GLOB_RECURSE notes "${BUILD_DIR}/*.gcno")
foreach(note IN LISTS notes)
  get_filename_component(folder "${note}" DIRECTORY)
  file(CHMOD "${folder}" DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_WRITE GROUP_EXECUTE
    WORLD_READ WORLD_WRITE WORLD_EXECUTE)
endforeach()
