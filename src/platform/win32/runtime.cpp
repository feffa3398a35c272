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

// HeapAlloc returns blocks aligned to 8 bytes on this target, as msvcrt's
// malloc does; only a larger alignment needs the over-allocation below.
constexpr std::size_t kHeapAlignment = 8;

void* HeapAllocate(std::size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void HeapRelease(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// An over-aligned block keeps the address HeapAlloc returned in the slot just
// before the address it hands out.
void* HeapAllocateAligned(std::size_t size, std::align_val_t alignment) {
    const std::size_t align = static_cast<std::size_t>(alignment);
    if (align <= kHeapAlignment) return HeapAllocate(size);
    const std::size_t extra = align + sizeof(void*);
    if (size > SIZE_MAX - extra) return nullptr;
    void* block = HeapAllocate(size + extra);
    if (block == nullptr) return nullptr;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
    void* aligned = reinterpret_cast<void*>((start + align - 1) & ~(align - 1));
    static_cast<void**>(aligned)[-1] = block;
    return aligned;
}

void HeapReleaseAligned(void* pointer, std::align_val_t alignment) {
    if (pointer == nullptr) return;
    if (static_cast<std::size_t>(alignment) <= kHeapAlignment) return HeapRelease(pointer);
    HeapRelease(static_cast<void**>(pointer)[-1]);
}

void* AllocateOrEnd(std::size_t size) {
    void* block = HeapAllocate(size);
    if (block == nullptr) EndProcessQuietly();
    return block;
}

void* AllocateAlignedOrEnd(std::size_t size, std::align_val_t alignment) {
    void* block = HeapAllocateAligned(size, alignment);
    if (block == nullptr) EndProcessQuietly();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrEnd(size); }
void* operator new[](std::size_t size) { return AllocateOrEnd(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return HeapAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return HeapAllocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAlignedOrEnd(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAlignedOrEnd(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return HeapAllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return HeapAllocateAligned(size, alignment);
}

void operator delete(void* pointer) noexcept { HeapRelease(pointer); }
void operator delete[](void* pointer) noexcept { HeapRelease(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { HeapRelease(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { HeapRelease(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { HeapRelease(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { HeapRelease(pointer); }
void operator delete(void* pointer, std::align_val_t alignment) noexcept { HeapReleaseAligned(pointer, alignment); }
void operator delete[](void* pointer, std::align_val_t alignment) noexcept {
    HeapReleaseAligned(pointer, alignment);
}
void operator delete(void* pointer, std::size_t, std::align_val_t alignment) noexcept {
    HeapReleaseAligned(pointer, alignment);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t alignment) noexcept {
    HeapReleaseAligned(pointer, alignment);
}
void operator delete(void* pointer, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    HeapReleaseAligned(pointer, alignment);
}
void operator delete[](void* pointer, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    HeapReleaseAligned(pointer, alignment);
}

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
