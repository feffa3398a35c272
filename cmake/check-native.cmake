# dismora-check, the deployment log checker, for this machine: the program's own log
# reader and entry parsing over a POSIX backend that can do no more than read a file.
# Included at the end of cmake/native.cmake, after the test binary exists.

file(GLOB DISMORA_CHECK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/check/*.cpp)
set(DISMORA_CHECK_MAIN ${CMAKE_SOURCE_DIR}/src/check/main.cpp)
list(REMOVE_ITEM DISMORA_CHECK_SOURCES ${DISMORA_CHECK_MAIN})
set(DISMORA_CHECK_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)

# The plan and its reports, for the native tests (which bring the simulated Windows).
add_library(dismora_check_lib STATIC ${DISMORA_CHECK_SOURCES})
target_compile_options(dismora_check_lib PRIVATE ${DISMORA_SANITIZERS} -g ${DISMORA_CHECK_WARNINGS})
target_link_libraries(dismora_check_lib PUBLIC dismora_core)

# The core once more, one section per function: linked with --gc-sections, the checker
# keeps only the reader and the parsing it calls, so it needs no Windows function beyond
# the ones the POSIX backend gives, and holds no code that could change anything.
get_target_property(DISMORA_CHECK_CORE_SOURCES dismora_core SOURCES)
add_library(dismora_check_core STATIC ${DISMORA_CHECK_CORE_SOURCES})
target_include_directories(dismora_check_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(dismora_check_core PRIVATE ${DISMORA_SANITIZERS} -g -ffunction-sections -fdata-sections)

add_executable(dismora-check ${DISMORA_CHECK_MAIN} ${DISMORA_CHECK_SOURCES}
    ${CMAKE_SOURCE_DIR}/src/platform/posix/win_api_posix.cpp)
target_compile_options(dismora-check PRIVATE ${DISMORA_SANITIZERS} -g -ffunction-sections -fdata-sections
    ${DISMORA_CHECK_WARNINGS})
target_link_libraries(dismora-check PRIVATE dismora_check_core)
target_link_options(dismora-check PRIVATE ${DISMORA_SANITIZERS} -Wl,--gc-sections)

# The checker's tests: the plan on the simulated Windows, the examples of the log format
# document, and the command itself.
target_link_libraries(dismora_tests PRIVATE dismora_check_lib)
add_dependencies(dismora_tests dismora-check)
file(GLOB DISMORA_CHECK_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/check_*_test.cpp)
set_source_files_properties(${DISMORA_CHECK_TESTS} PROPERTIES COMPILE_DEFINITIONS
    "DISMORA_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\";DISMORA_CHECK_EXE=\"$<TARGET_FILE:dismora-check>\"")
