# cmake/pad.cmake: pads the linked stub with zero bytes to exactly SIZE bytes, and fails
# when the image has grown past it (the first piece would no longer start at SIZE).
file(SIZE "${FILE}" linked)
if(linked GREATER SIZE)
    message(FATAL_ERROR "the stub is ${linked} bytes, more than the ${SIZE} bytes the first-piece offset allows")
endif()
message(STATUS "stub linked at ${linked} bytes, padded to ${SIZE}")
execute_process(COMMAND truncate -s ${SIZE} "${FILE}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "could not pad ${FILE}")
endif()
