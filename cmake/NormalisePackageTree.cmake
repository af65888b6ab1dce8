# Run by cpack around each package, so that the same sources give the same
# bytes wherever and whenever they are packaged (the time is
# SOURCE_DATE_EPOCH, see CPackProjectConfig.cmake.in).
#
# Before archiving (CPACK_PRE_BUILD_SCRIPTS): every staged file and folder
# gets that time. After (CPACK_POST_BUILD_SCRIPTS): the .tar.gz and the .zip
# are written again from the staged files with their members in name order,
# owned by root, and without the extra times and owners CPack's archives
# take from the disk. The .deb generator sets its owners and times itself.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT DEFINED CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(path IN LISTS staged ITEMS "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
    execute_process(COMMAND touch -h -d "@${epoch}" "${path}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  return()
endif()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(folder "${package}" DIRECTORY)
  if(package MATCHES "\\.tar\\.gz$")
    file(REMOVE "${package}")
    execute_process(
      COMMAND tar --format=gnu --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
              --mode=u+rwX,go+rX,go-w -cf - "${CPACK_PACKAGE_FILE_NAME}"
      COMMAND gzip -9 -n
      WORKING_DIRECTORY "${folder}"
      OUTPUT_FILE "${package}"
      COMMAND_ERROR_IS_FATAL ANY)
  elseif(package MATCHES "\\.zip$")
    # zip -X leaves out owners and extra times; its times are local ones.
    file(GLOB_RECURSE members RELATIVE "${folder}" "${folder}/${CPACK_PACKAGE_FILE_NAME}/*")
    file(REMOVE "${package}")
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -q -X -D -9 "${package}" ${members}
      WORKING_DIRECTORY "${folder}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
