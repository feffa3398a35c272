# dismora-check.exe, the deployment log checker for Windows: a console program over the
# program's own log reader and entry parsing and the real Windows backend. It is a
# separate executable; dismora.exe gains nothing from it.
# Included at the end of cmake/windows.cmake.

file(GLOB DISMORA_CHECK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/check/*.cpp)
add_executable(dismora-check ${DISMORA_CHECK_SOURCES} ${CMAKE_SOURCE_DIR}/src/platform/win32/win_api_win32.cpp)
target_include_directories(dismora-check PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_options(dismora-check PRIVATE ${DISMORA_SIZE_FLAGS} -Wall -Wextra)
target_link_libraries(dismora-check PRIVATE dismora_core)
# wmain, console subsystem.
target_link_options(dismora-check PRIVATE -municode -static -s -Wl,--gc-sections -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(dismora-check PRIVATE advapi32 user32 shell32 oleaut32 kernel32)
set_target_properties(dismora-check PROPERTIES OUTPUT_NAME dismora-check SUFFIX .exe)
# Without link-time optimisation of its own, the linker can drop every forwarder of the
# Windows backend that the checker does not call (those that would change anything).
set_property(TARGET dismora-check PROPERTY INTERPROCEDURAL_OPTIMIZATION OFF)
