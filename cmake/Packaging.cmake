# What `cmake --install` puts where, and the packages CPack makes of it.
# Linux: the program, its man page, the README and the licence, as a .deb and
# a .tar.gz. Windows: the program with a README.txt and LICENSE.txt written
# for Windows users, as a .zip.
include(GNUInstallDirs)

# Debian's name for the package: lower case, no underscore.
set(BRUSH_PACKAGE_NAME brushpreset-convertion)
# The documentation goes under the package's name (Debian requires it),
# unless the configuration names another folder.
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  set(CMAKE_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${BRUSH_PACKAGE_NAME}")
endif()

option(BRUSH_DEBIAN_LAYOUT
  "Install the man page gzip-compressed, and the licence as a Debian copyright file with a changelog beside it"
  OFF)
set(BRUSH_PACKAGE_MAINTAINER "BrushPreset_Convertion authors <maintainers@brushpreset-convertion.invalid>"
  CACHE STRING "Maintainer of the Debian package, as Name <address>")

# Installed folders are readable by everyone, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(docs/BrushPreset_Convertion.1.in BrushPreset_Convertion.1 @ONLY)
set(BRUSH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/BrushPreset_Convertion.1)

if(WIN32)
  # One folder holding everything: the user unzips it and runs the program
  # from there. The texts have CR LF line ends, and the README starts with a
  # byte-order mark so that every Notepad reads its accents right.
  install(TARGETS BrushPreset_Convertion RUNTIME DESTINATION .)
  file(READ packaging/README-windows.txt BRUSH_WINDOWS_README)
  string(ASCII 239 187 191 BRUSH_UTF8_BOM)
  file(CONFIGURE OUTPUT README.txt CONTENT "${BRUSH_UTF8_BOM}${BRUSH_WINDOWS_README}" @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME BrushPreset_Convertion-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME BrushPreset_Convertion-${PROJECT_VERSION}-win64)
  endif()
else()
  install(TARGETS BrushPreset_Convertion RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(BRUSH_DEBIAN_LAYOUT)
    # The copyright file in Debian's machine-readable format, its licence
    # text taken from LICENSE (a paragraph break becomes " .").
    file(STRINGS LICENSE BRUSH_LICENSE_LINES)
    set(BRUSH_LICENSE_TEXT "")
    set(BRUSH_IN_LICENSE_TEXT FALSE)
    foreach(line IN LISTS BRUSH_LICENSE_LINES)
      if(line MATCHES "^Permission is hereby granted")
        set(BRUSH_IN_LICENSE_TEXT TRUE)
      endif()
      if(BRUSH_IN_LICENSE_TEXT)
        if(line STREQUAL "")
          string(APPEND BRUSH_LICENSE_TEXT "\n .")
        else()
          string(APPEND BRUSH_LICENSE_TEXT "\n ${line}")
        endif()
      endif()
    endforeach()
    string(REGEX REPLACE "^Copyright (\\([cC]\\) )?" "" BRUSH_COPYRIGHT_HOLDERS "${BRUSH_COPYRIGHT}")
    configure_file(packaging/debian/copyright.in copyright @ONLY)
    configure_file(packaging/debian/changelog.in changelog @ONLY)

    # Debian strips the compiler's .comment section from its programs too.
    add_custom_command(TARGET BrushPreset_Convertion POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:BrushPreset_Convertion>
      VERBATIM)

    # Compressed as Debian wants them: at most, without name or time stamp.
    find_program(BRUSH_GZIP gzip REQUIRED)
    set(compressed ${BRUSH_MAN_PAGE}.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${BRUSH_GZIP} -9 -n -f -k ${BRUSH_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/changelog
      DEPENDS ${BRUSH_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/changelog
      VERBATIM)
    add_custom_target(compressed_documents ALL DEPENDS ${compressed})
    install(FILES ${BRUSH_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES ${BRUSH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  set(CPACK_GENERATOR DEB TGZ)
endif()

# Reproducible packages: one commit gives the same bytes whatever the
# clone's path and the time of the build. Every time in them is
# SOURCE_DATE_EPOCH, the commit's time where the builder has not set it
# (cmake/NormalisePackageTree.cmake says the rest).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(BRUSH_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    OUTPUT_VARIABLE BRUSH_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT BRUSH_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    # A copy without its history: the time of the file that names the version.
    file(TIMESTAMP ${CMAKE_CURRENT_SOURCE_DIR}/CMakeLists.txt BRUSH_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
configure_file(cmake/CPackProjectConfig.cmake.in CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/NormalisePackageTree.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/NormalisePackageTree.cmake)

set(CPACK_PACKAGE_NAME ${BRUSH_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "${BRUSH_AUTHORS}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch converter of legacy brush preset files")
set(CPACK_PACKAGE_DESCRIPTION "\
BrushPreset_Convertion rewrites every legacy brush preset (*.kvr) of a folder
named convert into the current preset form and writes each result under the
same name into the folder Converted, every line ending in CR LF: the
transparency is rescaled from percent to 0..255, the legacy marks are removed
and the keys are renamed. Files are bytes, never decoded.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRUSH_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
