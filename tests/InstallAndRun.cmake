# Installs the build into a scratch prefix and checks that exactly the
# program, its man page and its documentation land where GNUInstallDirs
# says; then the installed program, given the convert folder as its
# argument, converts the sample presets exactly as the built program does
# when started in its working folder.
#   cmake -DBUILD_DIR= -DCONVERTER= -DEXAMPLES= -DWORKDIR= -DVERSION=
#         -DBINDIR= -DMANDIR= -DDOCDIR= -DDEBIAN_LAYOUT= -P InstallAndRun.cmake
file(REMOVE_RECURSE "${WORKDIR}")
set(prefix "${WORKDIR}/prefix")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors
    INPUT_FILE /dev/null WORKING_DIRECTORY "${WORKDIR}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${output}${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY "${WORKDIR}")
run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

set(program "${BINDIR}/BrushPreset_Convertion")
if(DEBIAN_LAYOUT)
  set(expected "${program}" "${MANDIR}/man1/BrushPreset_Convertion.1.gz"
    "${DOCDIR}/README.md" "${DOCDIR}/changelog.gz" "${DOCDIR}/copyright")
else()
  set(expected "${program}" "${MANDIR}/man1/BrushPreset_Convertion.1" "${DOCDIR}/README.md" "${DOCDIR}/LICENSE")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${prefix}" "${prefix}/*")
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

run("${program} --version" "${prefix}/${program}" --version)
if(NOT output STREQUAL "BrushPreset_Convertion ${VERSION}\n")
  message(FATAL_ERROR "the installed program says it is '${output}'")
endif()

foreach(folder installed built)
  file(MAKE_DIRECTORY "${WORKDIR}/${folder}/Converted")
  file(COPY "${EXAMPLES}/" DESTINATION "${WORKDIR}/${folder}/convert")
endforeach()
run("the installed program" "${prefix}/${program}" "${WORKDIR}/installed/convert")
run("the built program" "${CMAKE_COMMAND}" -E chdir "${WORKDIR}/built" "${CONVERTER}")

file(GLOB converted RELATIVE "${WORKDIR}/built/Converted" "${WORKDIR}/built/Converted/*")
file(GLOB converted_by_installed RELATIVE "${WORKDIR}/installed/Converted" "${WORKDIR}/installed/Converted/*")
list(SORT converted)
list(SORT converted_by_installed)
if(converted STREQUAL "" OR NOT converted STREQUAL converted_by_installed)
  message(FATAL_ERROR "converted: '${converted_by_installed}', expected '${converted}'")
endif()
foreach(name IN LISTS converted)
  file(SHA256 "${WORKDIR}/built/Converted/${name}" want)
  file(SHA256 "${WORKDIR}/installed/Converted/${name}" got)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "the installed program converted ${name} differently")
  endif()
endforeach()
list(LENGTH converted count)
message(STATUS "installed into ${prefix}; the installed program converted ${count} presets like the built one")
file(REMOVE_RECURSE "${WORKDIR}")
