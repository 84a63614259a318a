# cmake/native.cmake: the program over our stand-in for the Windows calls, with the tools,
# the tests and the native front end.
set(PARCELON_SANITIZE "" CACHE STRING "sanitizers for the native build, e.g. address,undefined or thread")
if(PARCELON_SANITIZE)
    add_compile_options(-fsanitize=${PARCELON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${PARCELON_SANITIZE})
endif()

find_package(Threads REQUIRED)

# The stand-in: its headers come first on the include path of everything that links it.
file(GLOB WINSHIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/native/*.cpp)
add_library(winshim STATIC ${WINSHIM_SOURCES})
target_include_directories(winshim BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/native/include ${CMAKE_SOURCE_DIR}/native)
target_link_libraries(winshim PUBLIC Threads::Threads)

add_library(stubcore STATIC ${PROGRAM_SOURCES} ${PROGRAM_ENTRY})
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
