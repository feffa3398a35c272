// The fact table, the checks and the scratch files and keys, over the seam only.
#include "contract/contract.h"
#include "platform/utf8.h"

namespace contract {

namespace {

std::vector<Fact>& Table() {
    static std::vector<Fact> facts;
    return facts;
}

std::u16string Hex(std::uint32_t value) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out;
    for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
    return out;
}

std::u16string TempFolder() {
    win::WCHAR buffer[300] = {};
    const win::DWORD length = win::GetTempPathW(300, buffer);
    if (length == 0 || length >= 300) return u"C:\\";
    return std::u16string(buffer, length);
}

// Distinct for every Scratch of this run, and across runs through the tick count.
std::u16string UniqueName() {
    static std::uint32_t counter = 0;
    static const std::uint32_t start = win::GetTickCount();
    return u"dismora-contract-" + Hex(start) + u"-" + Hex(++counter);
}

}  // namespace

std::string Utf8(std::u16string_view text) {
    return dismora::ToUtf8(text);
}

bool Check::True(bool ok, const char* expression, const char* file, int line) {
    if (!ok) Fail(file, line, std::string(expression) + " is false");
    return ok;
}

void Check::Fail(const char* file, int line, const std::string& message) {
    std::string where = file;
    const std::size_t slash = where.find_last_of("/\\");
    if (slash != std::string::npos) where = where.substr(slash + 1);
    failures_.push_back(where + ":" + std::to_string(line) + ": " + message);
}

const std::vector<Fact>& AllFacts() { return Table(); }

FactRegistrar::FactRegistrar(const char* name, void (*run)(Check&)) { Table().push_back({name, run}); }

Scratch::Scratch(Check& check) : check_(check) {
    const std::u16string name = UniqueName();
    folder_ = TempFolder() + name + u"\\";
    if (!MakeFolder(folder_)) check_.Fail(__FILE__, __LINE__, "cannot create the scratch folder " + Utf8(folder_));
    key_path_ = u"Software\\DismoraContract\\" + name;
    if (win::RegCreateKeyW(win::HKEY_CURRENT_USER, key_path_.c_str(), &key_) != win::ERROR_SUCCESS) {
        check_.Fail(__FILE__, __LINE__, "cannot create the scratch key " + Utf8(key_path_));
        key_ = nullptr;
    }
}

Scratch::~Scratch() {
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        SetReadOnly(it->path, false);
        if (it->folder) {
            win::RemoveDirectoryW(it->path.c_str());
        } else {
            win::DeleteFileW(it->path.c_str());
        }
    }
    std::u16string folder = folder_;
    folder.pop_back();
    if (!win::RemoveDirectoryW(folder.c_str())) {
        check_.Fail(__FILE__, __LINE__, "the scratch folder is not empty at the end: " + Utf8(folder_));
    }
    if (key_) win::RegCloseKey(key_);
    DeleteKeyTree(win::HKEY_CURRENT_USER, key_path_);
    // The parent goes when this was the last scratch key in it; it stays while others live.
    win::RegDeleteKeyW(win::HKEY_CURRENT_USER, u"Software\\DismoraContract");
}

std::u16string Scratch::File(std::u16string_view name, std::string_view bytes) {
    const std::u16string path = folder_ + std::u16string(name);
    if (!WriteBytes(path, bytes)) check_.Fail(__FILE__, __LINE__, "cannot write " + Utf8(path));
    Track(path, false);
    return path;
}

std::u16string Scratch::SubFolder(std::u16string_view name) {
    const std::u16string path = folder_ + std::u16string(name);
    if (!MakeFolder(path)) check_.Fail(__FILE__, __LINE__, "cannot create " + Utf8(path));
    Track(path, true);
    return path;
}

void Scratch::Track(const std::u16string& path, bool folder) { items_.push_back({path, folder}); }

void DeleteKeyTree(win::HKEY root, const std::u16string& path) {
    win::HKEY key = nullptr;
    if (win::RegOpenKeyExW(root, path.c_str(), 0, win::KEY_ALL_ACCESS, &key) != win::ERROR_SUCCESS) return;
    win::WCHAR name[256];
    // Index 0 every time: the list shrinks as subkeys go. Stop at one that cannot go.
    while (win::RegEnumKeyW(key, 0, name, 256) == win::ERROR_SUCCESS) {
        const std::u16string child = path + u"\\" + name;
        DeleteKeyTree(root, child);
        win::HKEY left = nullptr;
        if (win::RegOpenKeyExW(root, child.c_str(), 0, win::KEY_QUERY_VALUE, &left) == win::ERROR_SUCCESS) {
            win::RegCloseKey(left);
            break;
        }
    }
    win::RegCloseKey(key);
    win::RegDeleteKeyW(root, path.c_str());
}

int RunAll(void (*print)(const std::string& line)) {
    int passed = 0;
    int failed = 0;
    for (const Fact& fact : AllFacts()) {
        Check check;
        fact.run(check);
        if (check.Failed()) {
            ++failed;
            print(std::string("FAIL ") + fact.name);
            for (const std::string& failure : check.Failures()) print("    " + failure);
        } else {
            ++passed;
            print(std::string("ok   ") + fact.name);
        }
    }
    print(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed;
}

}  // namespace contract
