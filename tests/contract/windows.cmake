# win32_contract.exe: the facts of tests/contract/ against the real Win32 backend, for
# running under Wine (or on Windows). Included by cmake/windows.cmake.
set(DISMORA_CONTRACT_DIR ${CMAKE_SOURCE_DIR}/tests/contract)
set(DISMORA_WIN32_BACKEND ${CMAKE_SOURCE_DIR}/src/platform/win32/win_api_win32.cpp)

file(GLOB DISMORA_CONTRACT_FACTS CONFIGURE_DEPENDS ${DISMORA_CONTRACT_DIR}/contract_*_facts.cpp)
add_executable(win32_contract
    ${DISMORA_CONTRACT_FACTS}
    ${DISMORA_CONTRACT_DIR}/contract_support.cpp
    ${DISMORA_CONTRACT_DIR}/contract_win32.cpp
    ${DISMORA_WIN32_BACKEND})
target_include_directories(win32_contract PRIVATE
    $<TARGET_PROPERTY:dismora_core,INTERFACE_INCLUDE_DIRECTORIES>
    ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(win32_contract PRIVATE -O1 -Wall -Wextra)
# A console program with its runtime linked in, so that Wine needs no MinGW DLLs.
target_link_options(win32_contract PRIVATE -mconsole -static)
target_link_libraries(win32_contract PRIVATE advapi32 user32 shell32 oleaut32 kernel32)
set_target_properties(win32_contract PROPERTIES
    OUTPUT_NAME win32_contract
    SUFFIX .exe
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
