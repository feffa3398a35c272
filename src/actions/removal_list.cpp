#include "actions/removal_list.h"

#include "driver/log_reader.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

namespace {

const char16_t kSharedDllsKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

}  // namespace

RemovalList::~RemovalList() {
    while (head_ != nullptr) {
        TDismoraFile* next = head_->Next;
        delete head_;
        head_ = next;
    }
}

void RemovalList::Append(Text path) {
    auto* node = new TDismoraFile{std::move(path), nullptr};
    if (tail_ == nullptr) {
        head_ = node;
    } else {
        tail_->Next = node;
    }
    tail_ = node;
    ++size_;
}

void AddToRemovalList(RemovalList& list, Text path) {
    list.Append(std::move(path));
}

void BuildRemovalList(LogReader& log, bool all_users, RemovalList& list) {
    UniqueKey shared;
    if (all_users) {
        // The machine's counts are never created by an uninstall.
        OpenKey(win::HKEY_LOCAL_MACHINE, kSharedDllsKey, win::KEY_READ | win::KEY_WRITE, shared);
    } else {
        win::HKEY created = nullptr;
        if (win::RegCreateKeyW(win::HKEY_CURRENT_USER, kSharedDllsKey, &created) == win::ERROR_SUCCESS) {
            shared.Reset(created);
        }
    }

    // A key without values answers every query with "not found": then no file needs one.
    win::DWORD values = 1;
    if (shared.IsValid() && win::RegQueryInfoKeyW(shared.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  &values, nullptr, nullptr, nullptr, nullptr) != win::ERROR_SUCCESS) {
        values = 1;
    }
    const bool no_counts = !shared.IsValid() || values == 0;
    while (NextEntry(log, u"%%%")) {
        const Text& path = log.current_line;
        if (path.find(u'\0') != Text::npos) continue;  // Windows would act on a shorter name than the log's
        win::DWORD count = 0;                          // zeroed: a shorter value fills only part of it
        win::DWORD size = sizeof(count);
        win::DWORD type = 0;
        if (no_counts || win::RegQueryValueExW(shared.Get(), path.c_str(), nullptr, &type,
                                               reinterpret_cast<win::BYTE*>(&count), &size) != win::ERROR_SUCCESS) {
            AddToRemovalList(list, path);
            continue;
        }
        // A count of 0 is not wrapped round: that would corrupt it for every other installer.
        if (count <= 1) {
            win::RegDeleteValueW(shared.Get(), path.c_str());
            AddToRemovalList(list, path);
            continue;
        }
        --count;
        win::RegSetValueExW(shared.Get(), path.c_str(), 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&count),
                            sizeof(count));
    }
}

}  // namespace dismora
