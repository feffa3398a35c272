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
