# cmake/package.cmake: the install of the Linux tools (bin/), the stub and the restore page
# (share/parcelon/), their manual pages (share/man/man1/) and the package's documents, and
# the Debian package that cpack makes of them: parcelon_<version>_<arch>.deb in the build
# folder.

set(PARCELON_MAINTAINER "Parcelon maintainers <maintainers@users.noreply.c-seed-0e311d79.example>"
    CACHE STRING "the package's Maintainer field")

# A new version needs its changelog entry before it is packaged.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
string(FIND "${changelog_top}" "parcelon (${PROJECT_VERSION}) " changelog_at)
if(NOT changelog_at EQUAL 0)
    message(FATAL_ERROR "packaging/changelog does not begin with an entry for ${PROJECT_VERSION}: add one")
endif()

# The manual pages with the version filled in, and the changelog, compressed as Debian
# keeps them: gzip -9 with neither the name nor the time in the header.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(package_docs "")
foreach(tool parcelon-split parcelon-restore)
    configure_file(${CMAKE_SOURCE_DIR}/man/${tool}.1.in ${CMAKE_BINARY_DIR}/man/${tool}.1 @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${tool}.1.gz
        COMMAND ${GZIP_PROGRAM} -9nkf ${tool}.1
        WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
        DEPENDS ${CMAKE_BINARY_DIR}/man/${tool}.1
        VERBATIM)
    list(APPEND package_docs ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/changelog changelog
    COMMAND ${GZIP_PROGRAM} -9nf changelog
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
add_custom_target(package-docs ALL DEPENDS ${package_docs} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

# The stub is checked when it is installed, first, not when this build is configured:
# the Windows build may be made (or made again) in between.
if(PARCELON_STUB_SOURCE)
    install(CODE "
        set(stub [[${PARCELON_STUB_SOURCE}]])
        if(NOT EXISTS \"\${stub}\")
            message(FATAL_ERROR \"the stub \${stub} is missing: build the Windows stub first (README, 'Building by hand') or configure with -DPARCELON_STUB=PATH\")
        endif()
        file(SIZE \"\${stub}\" stub_size)
        if(NOT stub_size EQUAL ${STUB_SIZE})
            message(FATAL_ERROR \"the stub \${stub} is \${stub_size} bytes, not the ${STUB_SIZE} bytes of a built stub\")
        endif()")
    install(FILES ${PARCELON_STUB_SOURCE} DESTINATION ${PARCELON_STUB_INSTALL_DIR} RENAME ${PARCELON_STUB_NAME})
endif()

install(TARGETS parcelon-split parcelon-restore RUNTIME DESTINATION bin)
# A stripped install (cpack, cmake --install --strip) also drops the compiler's notes.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(tool parcelon-split parcelon-restore)
            execute_process(COMMAND [[${CMAKE_STRIP}]] --remove-section=.comment --remove-section=.note
                                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/\${tool}\"
                            RESULT_VARIABLE failed)
            if(failed)
                message(FATAL_ERROR \"cannot strip \${tool}\")
            endif()
        endforeach()
    endif()")
install(FILES ${package_docs} DESTINATION share/man/man1)
# The restore page for recipients without Windows: three static files, opened as they are.
# web/engine.js is the engine's WebAssembly build (cmake/browser.cmake), made before this one.
install(FILES ${CMAKE_SOURCE_DIR}/web/index.html ${CMAKE_SOURCE_DIR}/web/parcelon.js ${CMAKE_SOURCE_DIR}/web/style.css
        ${CMAKE_SOURCE_DIR}/web/engine.js
        DESTINATION share/parcelon/web)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME parcelon)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION share/doc/parcelon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parcelon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PARCELON_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PARCELON_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make and restore self-restoring split sets of a file")
# The long description as the control file shows it: lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "\
A self-restoring split set carries a file in pieces: NAME.exe, a small
Windows program with the first piece appended, then NAME.d02, NAME.d03, ...
The person who receives the pieces runs NAME.exe to get the file back, with
every piece's CRC-16 checked.

parcelon-split cuts a file into such a set, by piece size or by exact data
counts, with the stored file name and time stamp; it takes the Windows stub
that comes with this package. parcelon-restore restores a set on Linux in a
terminal, running the set's own restore program with a text dialog, or
unattended.")
# Depends comes from the shared libraries the binaries link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A package without the stub would ship a parcelon-split that cannot work without
# --stub: cmake/cpack-project.cmake refuses to make it.
set(CPACK_PARCELON_STUB "${PARCELON_STUB_SOURCE}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-project.cmake)
include(CPack)
