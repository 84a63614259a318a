# cmake/cpack-project.cmake: read by cpack before it makes a package: refuses a package
# without the stub, whose parcelon-split would fail whenever --stub is not given.
if(NOT CPACK_PARCELON_STUB)
    message(FATAL_ERROR "cpack: this build has no stub to package. Build the Windows stub "
                        "(cmake --build build-win) and configure this build again with "
                        "-DPARCELON_WIN_BUILD=<that folder> or -DPARCELON_STUB=<PnRestore.exe>.")
endif()
