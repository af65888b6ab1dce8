# What `cmake --install` puts where: the program, its man page, the README
# and the licence, in the folders GNUInstallDirs names.
include(GNUInstallDirs)

# Debian's name for the package: lower case, no underscore.
set(BRUSH_PACKAGE_NAME brushpreset-convertion)
# The documentation goes under the package's name (Debian requires it),
# unless the configuration names another folder.
if("$CACHE{CMAKE_INSTALL_DOCDIR}" STREQUAL "")
  set(CMAKE_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${BRUSH_PACKAGE_NAME}")
endif()

# Installed folders are readable by everyone, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

configure_file(docs/BrushPreset_Convertion.1.in BrushPreset_Convertion.1 @ONLY)
set(BRUSH_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/BrushPreset_Convertion.1)

if(NOT WIN32)
  install(TARGETS BrushPreset_Convertion RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${BRUSH_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
