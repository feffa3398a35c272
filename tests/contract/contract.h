// Facts about Windows that the program depends on, written once against the win:: seam.
// The same facts run against the simulated Windows inside the native test binary and,
// built for Windows, against the real one as win32_contract.exe (run under Wine). A fact
// that holds on one and not the other means the simulation is wrong.
//
// A fact is a function registered with CONTRACT_FACT; it checks with FACT_TRUE and
// FACT_EQ, sets up its own files and keys through a Scratch, and leaves nothing behind.
// This header has no test framework in it: both builds drive the same small table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/win_api.h"

namespace contract {

std::string Utf8(std::u16string_view text);

inline std::string Show(const std::u16string& text) { return "\"" + Utf8(text) + "\""; }
inline std::string Show(const char16_t* text) { return text ? Show(std::u16string(text)) : "NULL"; }
inline std::string Show(const std::string& text) { return "\"" + text + "\""; }
inline std::string Show(const void* pointer) {
    return pointer ? "0x" + std::to_string(reinterpret_cast<std::uintptr_t>(pointer)) : "NULL";
}
template <typename T, typename = std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>>>
std::string Show(T value) {
    if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<long long>(value));
    } else if constexpr (std::is_signed_v<T>) {
        return std::to_string(static_cast<long long>(value));
    } else {
        return std::to_string(static_cast<unsigned long long>(value));
    }
}

// Collects the failures of one fact.
class Check {
public:
    // Both return whether the check held, so that a fact can stop where going on is pointless.
    bool True(bool ok, const char* expression, const char* file, int line);
    template <typename A, typename B>
    bool Equal(const A& actual, const B& expected, const char* a, const char* b, const char* file, int line) {
        if (actual == expected) return true;
        Fail(file, line, std::string(a) + " == " + b + ": got " + Show(actual) + ", expected " + Show(expected));
        return false;
    }
    void Fail(const char* file, int line, const std::string& message);
    bool Failed() const { return !failures_.empty(); }
    const std::vector<std::string>& Failures() const { return failures_; }

private:
    std::vector<std::string> failures_;
};

#define FACT_TRUE(check, condition) (check).True((condition), #condition, __FILE__, __LINE__)
#define FACT_EQ(check, actual, expected) (check).Equal((actual), (expected), #actual, #expected, __FILE__, __LINE__)
#define FACT_LAST_ERROR(check, expected)                                                                    \
    (check).Equal(win::GetLastError(), static_cast<win::DWORD>(expected), "GetLastError()", #expected, __FILE__, \
                  __LINE__)

struct Fact {
    const char* name;
    void (*run)(Check&);
};

// Every registered fact, in registration order.
const std::vector<Fact>& AllFacts();

struct FactRegistrar {
    FactRegistrar(const char* name, void (*run)(Check&));
};

#define CONTRACT_FACT(name)                                                     \
    static void name(::contract::Check& check);                                 \
    static const ::contract::FactRegistrar name##_registrar{#name, &name};       \
    static void name(::contract::Check& check)

// Set-up that the seam cannot do (folders, file contents, attributes), defined once per
// backend: over the simulated machine natively, over <windows.h> for Windows.
bool MakeFolder(const std::u16string& path);
bool WriteBytes(const std::u16string& path, std::string_view bytes);
bool SetReadOnly(const std::u16string& path, bool read_only);

// The files, folders and keys of one fact, under names no other run uses; all of it is
// removed through the seam when the Scratch ends, newest first.
class Scratch {
public:
    explicit Scratch(Check& check);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // A new empty folder under the temporary folder, with a trailing backslash.
    const std::u16string& Folder() const { return folder_; }
    // A file in Folder() with these bytes; its full path.
    std::u16string File(std::u16string_view name, std::string_view bytes);
    // A folder in Folder(); its full path without a trailing backslash.
    std::u16string SubFolder(std::u16string_view name);
    // Registers a path the fact created itself, so that it is removed too.
    void Track(const std::u16string& path, bool folder);

    // The scratch key under HKEY_CURRENT_USER, relative to it ("Software\...").
    const std::u16string& KeyPath() const { return key_path_; }
    // An open handle to the scratch key (closed by the Scratch).
    win::HKEY Key() const { return key_; }

private:
    struct Item {
        std::u16string path;
        bool folder;
    };
    Check& check_;
    std::u16string folder_;
    std::u16string key_path_;
    win::HKEY key_ = nullptr;
    std::vector<Item> items_;
};

// Deletes a key and everything below it through the seam.
void DeleteKeyTree(win::HKEY root, const std::u16string& path);

// Runs every fact; prints one line per fact and the closing count. Returns the failures.
int RunAll(void (*print)(const std::string& line));

}  // namespace contract
