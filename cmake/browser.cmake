# cmake/browser.cmake: the restore engine compiled to WebAssembly for the restore page, over
# the browser stand-in (browser/), without the dialog's code (ui/): one script with the module inside, web/engine.js, which
# the page loads beside its own script (from file:// too) and Node loads for the page's tests.
#
#   emcmake cmake -S . -B build-web -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build-web
# The program's own format/ and restore/ (never its dialog, ui/), what only the other ways of
# restoring need, and the stand-in with the page's entry.
set(ENGINE_SOURCES ${PROGRAM_SOURCES})
list(FILTER ENGINE_SOURCES INCLUDE REGEX "^(format|restore)/")
list(APPEND ENGINE_SOURCES ${RESTORE_WITHOUT_EXECUTABLE} browser/windows.cpp browser/engine.cpp)

# Sources whose string literals hold texts outside ASCII are compiled from a copy that
# writes them as their code page 932 bytes (browser/cp932.py): clang keeps literals in
# UTF-8 and has no -fexec-charset for code page 932.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ENGINE_COMPILED)
foreach(source ${ENGINE_SOURCES})
    if(source MATCHES "^restore/messages\\.cpp$")
        set(copy ${CMAKE_BINARY_DIR}/cp932/${source})
        add_custom_command(OUTPUT ${copy}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/cp932/restore
            COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/browser/cp932.py ${CMAKE_SOURCE_DIR}/${source} ${copy}
            DEPENDS ${CMAKE_SOURCE_DIR}/${source} ${CMAKE_SOURCE_DIR}/browser/cp932.py)
        list(APPEND ENGINE_COMPILED ${copy})
    else()
        list(APPEND ENGINE_COMPILED ${CMAKE_SOURCE_DIR}/${source})
    endif()
endforeach()
add_executable(engine ${ENGINE_COMPILED})
# The stand-in's headers come first; the engine's texts are code page 932 (clang reads
# UTF-8 and has no other execution character set, so the texts come through a conversion of
# the sources first: see below).
target_include_directories(engine BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/browser/include ${CMAKE_SOURCE_DIR}/browser)
target_include_directories(engine PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/resources)
# Bulk memory: copies are one instruction of WebAssembly, not a loop or a call out to
# JavaScript (every browser the page serves has had it since 2021).
target_compile_options(engine PRIVATE -fno-exceptions -fno-rtti -mbulk-memory)
set(ENGINE_EXPORTS _ParcelonLoad _ParcelonLoadFromRecovery _ParcelonInfo _ParcelonStoredName _ParcelonRun _ParcelonRunBytes
    _ParcelonShownMessage _ParcelonPieceName _ParcelonPieceDataCount _ParcelonRecovery _ParcelonRecoveryDataCount
    _ParcelonRecoveryRow _ParcelonParityGood _ParcelonRecoveryDone _ParcelonCrc16 _ParcelonCrc64 _ParcelonIsPlainFileName _malloc _free)
string(REPLACE ";" "," ENGINE_EXPORT_LIST "${ENGINE_EXPORTS}")
target_link_options(engine PRIVATE
    -mbulk-memory
    -sASYNCIFY=1
    -sASYNCIFY_STACK_SIZE=65536
    -sSINGLE_FILE=1
    -sMODULARIZE=1
    -sEXPORT_NAME=ParcelonEngine
    -sENVIRONMENT=web,worker,node
    -sINITIAL_MEMORY=50331648
    -sALLOW_MEMORY_GROWTH=0
    -sFILESYSTEM=0
    -sEXPORTED_FUNCTIONS=${ENGINE_EXPORT_LIST}
    -sEXPORTED_RUNTIME_METHODS=ccall,HEAPU8,HEAPF64
    --pre-js ${CMAKE_SOURCE_DIR}/browser/instantiate.js)
set_property(TARGET engine APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/browser/instantiate.js)
# The link runs emcc's JavaScript optimiser under Node, which needs Debian's acorn: a Node
# that does not look into /usr/share/nodejs by itself (nodesource's) is shown it.
set_target_properties(engine PROPERTIES SUFFIX ".js"
    CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;NODE_PATH=/usr/share/nodejs")
# The page's folder gets a copy: the page and its tests load it from there.
set(PARCELON_ENGINE_DIR ${CMAKE_SOURCE_DIR}/web CACHE PATH "the folder the engine is copied into (the page's)")
add_custom_command(TARGET engine POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:engine> ${PARCELON_ENGINE_DIR}/engine.js)
