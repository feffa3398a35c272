# The program logic in layer order, for every build that compiles the core: the product,
# the native tests, the fuzz target and the benchmarks. The process entry belongs to the
# driver but is the product's alone: it ends the process, which no test may do.
# Expects DISMORA_ROOT; sets DISMORA_CORE_SOURCES and DISMORA_ENTRY_SOURCE.
file(GLOB DISMORA_CORE_SOURCES CONFIGURE_DEPENDS
    ${DISMORA_ROOT}/src/environment/*.cpp
    ${DISMORA_ROOT}/src/log/*.cpp
    ${DISMORA_ROOT}/src/actions/*.cpp
    ${DISMORA_ROOT}/src/driver/*.cpp)
set(DISMORA_ENTRY_SOURCE ${DISMORA_ROOT}/src/driver/entry.cpp)
list(REMOVE_ITEM DISMORA_CORE_SOURCES ${DISMORA_ENTRY_SOURCE})

# The builds with a project of their own (the benchmarks, the fuzz targets) read the version
# from the product's project() in the top CMakeLists.txt, where it lives alone.
if(NOT PROJECT_NAME STREQUAL "dismora")
    file(STRINGS ${DISMORA_ROOT}/CMakeLists.txt DISMORA_PROJECT_LINE REGEX "^project\\(dismora VERSION ")
    string(REGEX MATCH "VERSION ([0-9.]+)" DISMORA_VERSION_MATCH "${DISMORA_PROJECT_LINE}")
    add_compile_definitions(DISMORA_VERSION="${CMAKE_MATCH_1}")
endif()
