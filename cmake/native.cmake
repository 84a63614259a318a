# cmake/native.cmake: the program over our stand-in for the Windows calls, with the tools,
# the tests and the native front end.
set(PARCELON_SANITIZE "" CACHE STRING "sanitizers for the native build, e.g. address,undefined or thread")
if(PARCELON_SANITIZE)
    add_compile_options(-fsanitize=${PARCELON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${PARCELON_SANITIZE})
endif()

# Builds without sanitizers (the tools, the package) get the usual hardening: checked
# string and memory calls where the build optimises, and a fully read-only global offset
# table.
if(NOT PARCELON_SANITIZE)
    add_compile_definitions($<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
    add_link_options(-Wl,-z,relro,-z,now)
endif()

find_package(Threads REQUIRED)

# The Windows build folder (PnRestore.exe, e2e-driver.exe) this native build may use: the
# Wine test runs its stub, this build tree's parcelon-split falls back to its stub when
# --stub is not given, and the install carries its stub.
set(PARCELON_WIN_BUILD "" CACHE PATH "Windows build folder with PnRestore.exe (and e2e-driver.exe for the Wine test)")
# The stub that `cmake --install` and the package put into share/parcelon/, where an
# installed parcelon-split finds it: PARCELON_STUB when given, else PnRestore.exe of
# PARCELON_WIN_BUILD. It need not exist yet when this build is configured (the Windows
# build may come later); the install checks it then. With neither, the install carries
# no stub (a line here says so) and cpack refuses to make a package without it.
set(PARCELON_STUB "" CACHE FILEPATH "the stub (PnRestore.exe, 53,248 bytes) to install; default: PARCELON_WIN_BUILD/PnRestore.exe")
if(PARCELON_STUB)
    set(PARCELON_STUB_SOURCE ${PARCELON_STUB})
elseif(PARCELON_WIN_BUILD)
    set(PARCELON_STUB_SOURCE ${PARCELON_WIN_BUILD}/PnRestore.exe)
else()
    set(PARCELON_STUB_SOURCE "")
    message(STATUS "No stub for the install (neither PARCELON_STUB nor PARCELON_WIN_BUILD is set): "
                   "cmake --install leaves it out and cpack refuses to make a package")
endif()
# Where the install puts the stub, and where parcelon-split looks for it from its own bin/.
set(PARCELON_STUB_INSTALL_DIR share/parcelon)
set(PARCELON_STUB_NAME PnRestore.exe)

# The stand-in: its headers come first on the include path of everything that links it.
file(GLOB WINSHIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/native/*.cpp)
add_library(winshim STATIC ${WINSHIM_SOURCES})
target_include_directories(winshim BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/native/include ${CMAKE_SOURCE_DIR}/native)
# The stand-in reads code page 932 names with the program's own byte classes.
target_include_directories(winshim PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(winshim PUBLIC Threads::Threads)

add_library(stubcore STATIC ${PROGRAM_SOURCES} ${PROGRAM_ENTRY} ${RESTORE_WITHOUT_EXECUTABLE})
target_include_directories(stubcore PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources)
target_link_libraries(stubcore PUBLIC winshim)
parcelon_texts(stubcore)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
    add_subdirectory(tools)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
    add_subdirectory(bench)
endif()

include(CTest)
if(BUILD_TESTING AND EXISTS ${CMAKE_SOURCE_DIR}/tests/CMakeLists.txt)
    add_subdirectory(tests)
endif()
# The terminal front end comes after the tests: its own tests use their support library.
if(EXISTS ${CMAKE_SOURCE_DIR}/frontend/CMakeLists.txt)
    add_subdirectory(frontend)
endif()

# The install and the Debian package of the two tools.
if(TARGET parcelon-split AND TARGET parcelon-restore)
    include(cmake/package.cmake)
endif()
