# Copies the sample presets into a fresh scratch folder beside an empty
# "Converted", runs the converter there and lists what it wrote.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/Converted")
file(COPY "${EXAMPLES}/" DESTINATION "${WORKDIR}/convert")

message(STATUS "Converting the sample presets in ${WORKDIR}")
execute_process(COMMAND "${CONVERTER}"
  WORKING_DIRECTORY "${WORKDIR}"
  INPUT_FILE /dev/null
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The converter ended with status ${status}")
endif()

file(GLOB written RELATIVE "${WORKDIR}" "${WORKDIR}/Converted/*")
list(SORT written)
foreach(path IN LISTS written)
  file(SIZE "${WORKDIR}/${path}" size)
  message(STATUS "  wrote ${path} (${size} bytes)")
endforeach()
list(GET written 0 first)
file(READ "${WORKDIR}/${first}" content)
string(REPLACE "\r\n" "\n" content "${content}")
message(STATUS "${first}:\n${content}")
