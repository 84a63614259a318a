# cmake/windows.cmake: the stub executable, a static PE32 GUI program padded to exactly the
# first-piece offset, and the end-to-end tests' driver that runs beside it under Wine.
enable_language(RC)

add_executable(PnRestore WIN32 ${PROGRAM_SOURCES} ${PROGRAM_ENTRY} resources/stub.rc)
target_include_directories(PnRestore PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources)
set(STUB_CXX_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
target_compile_options(PnRestore PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${STUB_CXX_FLAGS}>")
# With a section per variable, this compiler puts zero-filled variables into the image's
# data; the CRC-64's 16 KiB of tables, built at start-up, the field's 384 KiB and the
# rebuild's sums must stay in .bss.
set_property(SOURCE format/crc64.cpp format/gf16.cpp restore/recovery.cpp APPEND PROPERTY COMPILE_OPTIONS
             -fno-data-sections)
# No link time in the header: two builds of one commit give the same bytes.
target_link_options(PnRestore PRIVATE -static -s -Os -mwindows -Wl,--gc-sections
                    -Wl,--nxcompat -Wl,--dynamicbase -Wl,--tsaware -Wl,--no-insert-timestamp)
# user32, comctl32 and comdlg32 are loaded by name in windows/imports.c, after the program
# has restricted where DLLs are looked for; its entry runs before the C runtime's. The loader
# itself then maps only kernel32 and the C runtime before the program's first instruction;
# the image's import table is checked for that after the link.
target_sources(PnRestore PRIVATE windows/imports.c)
target_link_options(PnRestore PRIVATE -Wl,--entry=_StubEntry)
parcelon_texts(PnRestore)
# The resource compiler does not report the files the script pulls in.
set_source_files_properties(resources/stub.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/app.ico;${CMAKE_SOURCE_DIR}/resources/stub.manifest")
add_custom_command(TARGET PnRestore POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:PnRestore> -DSIZE=${STUB_SIZE}
            -DOBJDUMP=${CMAKE_OBJDUMP} -P ${CMAKE_SOURCE_DIR}/cmake/pad.cmake
    VERBATIM)

# The end-to-end driver: a console program that reads and presses the stub's controls from
# another process in the same Wine prefix (tests/e2e/run_e2e.py runs both).
add_executable(e2e-driver tests/e2e/driver.c)
target_compile_options(e2e-driver PRIVATE -Os)
target_link_options(e2e-driver PRIVATE -static -s)
target_link_libraries(e2e-driver PRIVATE user32 version)

# The planted DLL of the end-to-end suite: copied beside a set under the names programs are
# tricked into loading from their own folder, it marks every load of itself.
add_library(e2e-planted SHARED tests/e2e/planted.c)
set_target_properties(e2e-planted PROPERTIES PREFIX "" OUTPUT_NAME planted)
target_compile_options(e2e-planted PRIVATE -Os)
target_link_options(e2e-planted PRIVATE -nostdlib -s -Wl,--entry,_PlantedEntry@12)
target_link_libraries(e2e-planted PRIVATE kernel32)

# parcelon-split.exe, the split-set writer as a Windows console program, beside the stub.
add_subdirectory(tools)

# The release zip, parcelon-<version>-win32.zip: the two programs, the licence and a short
# README for Windows users (both with CRLF line ends), made anew when one of them changes.
# Each folder of the source tree named in PARCELON_ZIP_FOLDERS goes into the zip whole,
# under its own name.
set(PARCELON_ZIP_FOLDERS web)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(PARCELON_ZIP ${CMAKE_BINARY_DIR}/parcelon-${PROJECT_VERSION}-win32.zip)
set(zip_arguments
    --file $<TARGET_FILE:PnRestore>=PnRestore.exe
    --file $<TARGET_FILE:parcelon-split>=parcelon-split.exe
    --text ${CMAKE_SOURCE_DIR}/LICENSE=LICENSE.txt
    --text ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt=README.txt)
set(zip_inputs ${CMAKE_SOURCE_DIR}/cmake/winzip.py ${CMAKE_SOURCE_DIR}/LICENSE
    ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt)
foreach(folder IN LISTS PARCELON_ZIP_FOLDERS)
    list(APPEND zip_arguments --folder ${CMAKE_SOURCE_DIR}/${folder}=${folder})
    file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*)
    list(APPEND zip_inputs ${folder_files})
endforeach()
add_custom_command(OUTPUT ${PARCELON_ZIP}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/winzip.py ${PARCELON_ZIP} ${zip_arguments}
    DEPENDS PnRestore parcelon-split ${zip_inputs}
    COMMENT "Making parcelon-${PROJECT_VERSION}-win32.zip"
    VERBATIM)
add_custom_target(release-zip ALL DEPENDS ${PARCELON_ZIP})
