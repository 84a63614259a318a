# cmake/windows.cmake: the stub executable, a static PE32 GUI program padded to exactly the
# first-piece offset.
enable_language(RC)
set(STUB_SIZE 53248)

add_executable(PnRestore WIN32 ${PROGRAM_SOURCES} ${PROGRAM_ENTRY} resources/stub.rc)
target_include_directories(PnRestore PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources)
target_compile_options(PnRestore PRIVATE -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
                       -ffunction-sections -fdata-sections)
target_link_options(PnRestore PRIVATE -static -s -Os -mwindows -Wl,--gc-sections)
target_link_libraries(PnRestore PRIVATE comctl32 comdlg32)
parcelon_texts(PnRestore)
add_custom_command(TARGET PnRestore POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:PnRestore> -DSIZE=${STUB_SIZE} -P ${CMAKE_SOURCE_DIR}/cmake/pad.cmake
    VERBATIM)
