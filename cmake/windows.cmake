# The product, dismora.exe, and the helper programs the Wine suite runs.
set(DISMORA_SIZE_FLAGS -Oz -mpreferred-stack-boundary=2 -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics -fno-stack-protector)
target_compile_options(dismora_core PRIVATE ${DISMORA_SIZE_FLAGS})
# No link time in the PE header, for every executable of this build: two builds of the
# same sources give the same bytes, header checksum included, so anyone can rebuild a
# release and compare it with the one shipped.
add_link_options(-Wl,--no-insert-timestamp)

file(GLOB DISMORA_WIN32_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)

# Objects go to the linker as they are, not through a whole archive as CMake's default rule
# for this toolchain does: the link-time optimiser below only sees loose objects.
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# The product is compiled from the sources themselves and optimised as one program at
# link time: the seam's forwarders fold into their callers and the string and container
# code is emitted once. It starts at its own entry without the C runtime's start-up code,
# which it has no use for. The linker plugin crashes on such a link, so the optimiser
# runs from the full objects instead.
add_executable(dismora WIN32 ${DISMORA_CORE_SOURCES} ${DISMORA_ENTRY_SOURCE} ${DISMORA_WIN32_SOURCES} ${CMAKE_SOURCE_DIR}/src/resources/dismora.rc)
target_include_directories(dismora PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
# Flags for the product alone, each measured against the size it ships at:
# - malign-data=abi: tables and texts only as aligned as the ABI asks, not padded to 32 bytes;
# - fomit-frame-pointer: no frame pointer kept in every function;
# - fno-inline-functions-called-once: the steps of the main routine stay calls, each emitted
#   once, instead of being copied into it with all their temporaries;
# - mabi=sysv: member functions take `this` like any other argument, in a register where the
#   optimiser chooses, instead of the fixed thiscall convention. Safe only because the product
#   links no prebuilt C++ code (the Windows functions are stdcall by their declarations and
#   the C runtime's are plain C): tools/check-exe.sh fails when libstdc++ is linked.
set(DISMORA_PRODUCT_FLAGS -malign-data=abi -fomit-frame-pointer -fno-inline-functions-called-once -mabi=sysv)
target_compile_options(dismora PRIVATE ${DISMORA_SIZE_FLAGS} ${DISMORA_PRODUCT_FLAGS} -flto -ffat-lto-objects -Wall -Wextra)
# Terminal-server aware: otherwise, on a Remote Desktop host, GetWindowsDirectoryW gives
# the user's own Windows folder, and the protected Windows folder would name the wrong one.
target_link_options(dismora PRIVATE -Oz -mpreferred-stack-boundary=2 -flto -flto-partition=one -fwhole-program -fno-use-linker-plugin -nostartfiles -Wl,--entry=_DismoraEntry
    -mwindows -static -s -Wl,--gc-sections -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,-Map=${CMAKE_BINARY_DIR}/dismora.map)
target_link_libraries(dismora PRIVATE advapi32 user32 gdi32 shell32 oleaut32 kernel32)
# The benchmarks time a run with the progress window against one without it (bench/run.sh).
option(DISMORA_PROGRESS_OFF "build dismora.exe without its progress window" OFF)
if(DISMORA_PROGRESS_OFF)
    target_compile_definitions(dismora PRIVATE DISMORA_PROGRESS_OFF)
endif()
set_target_properties(dismora PROPERTIES OUTPUT_NAME dismora SUFFIX .exe)
include(${CMAKE_SOURCE_DIR}/cmake/one-section.cmake)
if(DISMORA_LINKER_SCRIPT)
    target_link_options(dismora PRIVATE -Wl,-T,${DISMORA_LINKER_SCRIPT})
    set_property(TARGET dismora APPEND PROPERTY LINK_DEPENDS ${DISMORA_LINKER_SCRIPT})
endif()

# Helper programs, test components and the contract tests for the Wine suite live beside
# their sources. They need Wine's tools (widl, stdole2.tlb), so they are built only by
# the cross build on Linux, not by a build on Windows.
if(CMAKE_CROSSCOMPILING)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/e2e/tools ${CMAKE_BINARY_DIR}/e2e-tools)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/e2e/components ${CMAKE_BINARY_DIR}/e2e-components)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/e2e/planted ${CMAKE_BINARY_DIR}/e2e-planted)
    include(${CMAKE_SOURCE_DIR}/tests/contract/windows.cmake)
endif()
include(${CMAKE_SOURCE_DIR}/cmake/check-windows.cmake)
