# cmake/pad.cmake: pads the linked stub with zero bytes to exactly SIZE bytes, and fails
# when the image has grown past it (the first piece would no longer start at SIZE) or when
# its import table names a DLL that the loader would look for beside the executable before
# the program could restrict the search: only kernel32 and the C runtime may be there.
# Prints the size it was linked at and the padded stub's SHA-256.
file(SIZE "${FILE}" linked)
if(linked GREATER SIZE)
    message(FATAL_ERROR "the stub is ${linked} bytes, more than the ${SIZE} bytes the first-piece offset allows")
endif()

if(OBJDUMP)
    execute_process(COMMAND "${OBJDUMP}" -p "${FILE}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${OBJDUMP} could not read ${FILE}")
    endif()
    # The static imports come before the delay-import table in objdump's listing.
    string(FIND "${headers}" "The Import Tables" start)
    string(FIND "${headers}" "Delay Import Tables" end)
    if(start LESS 0)
        message(FATAL_ERROR "no import table found in ${FILE}")
    endif()
    if(end LESS start)
        string(LENGTH "${headers}" end)
    endif()
    math(EXPR length "${end} - ${start}")
    string(SUBSTRING "${headers}" ${start} ${length} imports)
    string(REGEX MATCHALL "DLL Name: [^\n]+" names "${imports}")
    foreach(entry ${names})
        string(REPLACE "DLL Name: " "" dll "${entry}")
        string(TOLOWER "${dll}" dll)
        if(NOT dll MATCHES "^(kernel32|msvcrt)\\.dll$")
            message(FATAL_ERROR "the stub imports ${dll} statically: the loader would look for it beside the executable")
        endif()
    endforeach()
endif()

execute_process(COMMAND truncate -s ${SIZE} "${FILE}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "could not pad ${FILE}")
endif()
file(SHA256 "${FILE}" digest)
message(STATUS "stub linked at ${linked} bytes, padded to ${SIZE}, SHA-256 ${digest}")
