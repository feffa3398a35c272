# The native test build: the core against the simulated Windows, with sanitizers.
set(DISMORA_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(dismora_core PRIVATE ${DISMORA_SANITIZERS} -g)
target_link_options(dismora_core PUBLIC ${DISMORA_SANITIZERS})

find_package(GTest REQUIRED)
enable_testing()

file(GLOB_RECURSE DISMORA_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(dismora_sim STATIC ${DISMORA_SIM_SOURCES})
target_include_directories(dismora_sim PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(dismora_sim PRIVATE ${DISMORA_SANITIZERS} -g -Wall -Wextra)
target_link_libraries(dismora_sim PUBLIC dismora_core)

file(GLOB_RECURSE DISMORA_TEST_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp
    ${CMAKE_SOURCE_DIR}/tests/contract/*.cpp)
add_executable(dismora_tests ${DISMORA_TEST_SOURCES})
target_compile_options(dismora_tests PRIVATE ${DISMORA_SANITIZERS} -g -Wall -Wextra)
target_link_libraries(dismora_tests PRIVATE dismora_sim dismora_core GTest::gtest GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(dismora_tests DISCOVERY_TIMEOUT 60)
include(${CMAKE_SOURCE_DIR}/cmake/check-native.cmake)

# The include check passes on the tree as it is, and names the file and line of an
# upward include planted in a copy of it.
add_test(NAME LayerCheck.TreePasses COMMAND ${CMAKE_SOURCE_DIR}/tools/check-layers.sh ${CMAKE_SOURCE_DIR}/src)
add_test(NAME LayerCheck.PlantedUpwardIncludeFails COMMAND bash -c
    "copy=$(mktemp -d) && trap 'rm -rf $copy' EXIT && cp -r '${CMAKE_SOURCE_DIR}/src' $copy/ && \
     sed -i '3a #include \"driver/run.h\"' $copy/src/environment/text.cpp && \
     ! '${CMAKE_SOURCE_DIR}/tools/check-layers.sh' $copy/src")
set_tests_properties(LayerCheck.PlantedUpwardIncludeFails PROPERTIES
    PASS_REGULAR_EXPRESSION "environment/text\\.cpp:4: includes driver/ from the lower layer environment/")
