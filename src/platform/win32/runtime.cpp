// The product's own C++ runtime pieces. libstdc++'s prebuilt operator new and
// its std::__throw_* helpers raise exceptions, and linking them drags in the
// unwinder, the exception classes, a demangler and the threads library: more
// than 200 KB for a program that never throws. The program is compiled
// without exceptions, so each of these paths is a fault it cannot recover
// from; each ends the process quietly, with the exit code every end of the
// program gives, rather than letting it crash.

#include <windows.h>

#include <bits/functexcept.h>
#include <cstddef>
#include <cstdint>
#include <new>

namespace {

[[noreturn]] void EndProcessQuietly() {
    ExitProcess(0);
    __builtin_unreachable();
}

void* HeapAllocate(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void HeapRelease(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void* AllocateOrEnd(std::size_t size) {
    void* block = HeapAllocate(size);
    if (block == nullptr) EndProcessQuietly();
    return block;
}

}  // namespace

// Only the forms the program uses: with another form defined nowhere here, the link would
// take the prebuilt one and the executable check would fail on it.
void* operator new(std::size_t size) { return AllocateOrEnd(size); }
void* operator new[](std::size_t size) { return AllocateOrEnd(size); }
void operator delete(void* pointer) noexcept { HeapRelease(pointer); }
void operator delete[](void* pointer) noexcept { HeapRelease(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { HeapRelease(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { HeapRelease(pointer); }

// What the standard containers call where they would throw: a length beyond
// max_size(), an at() out of range, a failed allocation.
namespace std {

void __throw_bad_exception() { EndProcessQuietly(); }
void __throw_bad_alloc() { EndProcessQuietly(); }
void __throw_bad_array_new_length() { EndProcessQuietly(); }
void __throw_bad_cast() { EndProcessQuietly(); }
void __throw_bad_typeid() { EndProcessQuietly(); }
void __throw_logic_error(const char*) { EndProcessQuietly(); }
void __throw_domain_error(const char*) { EndProcessQuietly(); }
void __throw_invalid_argument(const char*) { EndProcessQuietly(); }
void __throw_length_error(const char*) { EndProcessQuietly(); }
void __throw_out_of_range(const char*) { EndProcessQuietly(); }
void __throw_out_of_range_fmt(const char*, ...) { EndProcessQuietly(); }
void __throw_runtime_error(const char*) { EndProcessQuietly(); }
void __throw_range_error(const char*) { EndProcessQuietly(); }
void __throw_overflow_error(const char*) { EndProcessQuietly(); }
void __throw_underflow_error(const char*) { EndProcessQuietly(); }
void __throw_system_error(int) { EndProcessQuietly(); }
void __throw_bad_function_call() { EndProcessQuietly(); }

}  // namespace std

// A pure or deleted virtual reached through a half-built object.
extern "C" void __cxa_pure_virtual() { EndProcessQuietly(); }
extern "C" void __cxa_deleted_virtual() { EndProcessQuietly(); }

// The two memory routines the standard strings call, here rather than imported: each
// import costs more bytes than the loop. Built without the loop-to-call rewrite, which
// would turn each loop back into a call to itself.
extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memmove(void* to, const void* from,
                                                                                       std::size_t size) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    if (out < in) {
        for (std::size_t i = 0; i < size; ++i) out[i] = in[i];
    } else {
        while (size-- != 0) out[size] = in[size];
    }
    return to;
}

extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memchr(const void* where, int value,
                                                                                      std::size_t size) {
    const auto* at = static_cast<const unsigned char*>(where);
    for (; size != 0; --size, ++at) {
        if (*at == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(at);
    }
    return nullptr;
}
