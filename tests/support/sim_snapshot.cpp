// Snapshots of the whole machine and their differences.
#include <algorithm>
#include <cstdio>

#include "support/sim_state.h"

namespace dismora::sim {

namespace {

using detail::Fold;
using detail::FsNode;
using detail::RegKey;

void AddFiles(const FsNode& node, const std::u16string& path, Snapshot& out) {
    for (const auto& [key, child] : node.children) {
        const std::u16string child_path = path + u"\\" + child->name;
        Snapshot::Entry entry;
        entry.path = child_path;
        entry.folder = child->folder;
        entry.attributes = child->attributes;
        entry.contents = child->contents;
        out.files[Fold(child_path)] = entry;
        if (child->folder) AddFiles(*child, child_path, out);
    }
}

void AddKeys(const RegKey& key, const std::u16string& path, Snapshot& out) {
    out.keys[Fold(path)] = path;
    for (const auto& [folded, value] : key.values) {
        out.values[Fold(path) + u"\x01" + folded] = Snapshot::Value{path, value};
    }
    for (const auto& [folded, entry] : key.subkeys) {
        if (!entry.link) AddKeys(*entry.key, path + u"\\" + entry.name, out);
    }
}

std::string Hex(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", value);
    return buffer;
}

std::string DescribeValue(const RegistryValue& value) {
    std::string text = "type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes";
    if (value.type == win::REG_DWORD && value.data.size() == 4) {
        DWORD d = 0;
        for (int i = 3; i >= 0; --i) d = (d << 8) | value.data[static_cast<std::size_t>(i)];
        text += " = " + std::to_string(d);
    } else if (value.type == win::REG_SZ || value.type == win::REG_EXPAND_SZ) {
        std::u16string s(value.data.size() / 2, u'\0');
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(value.data[2 * i] | (value.data[2 * i + 1] << 8));
        s = s.substr(0, s.find(u'\0'));
        text += " = \"" + Narrow(s) + "\"";
    }
    return text;
}

}  // namespace

Snapshot Machine::TakeSnapshot() const {
    Snapshot out;
    for (const auto& [letter, drive] : state_->drives) AddFiles(*drive.root, drive.root->name, out);
    AddKeys(*state_->hklm, u"HKEY_LOCAL_MACHINE", out);
    AddKeys(*state_->hku, u"HKEY_USERS", out);
    out.pending_deletions = PendingDeletions();
    return out;
}

std::vector<Change> Diff(const Snapshot& before, const Snapshot& after) {
    std::vector<Change> out;
    using Kind = Change::Kind;
    using What = Change::What;
    for (const auto& [key, entry] : before.files) {
        auto it = after.files.find(key);
        const What what = entry.folder ? What::kFolder : What::kFile;
        if (it == after.files.end()) {
            out.push_back({Kind::kRemoved, what, entry.path, ""});
        } else if (it->second.folder != entry.folder) {
            out.push_back({Kind::kChanged, what, entry.path, entry.folder ? "folder became a file" : "file became a folder"});
        } else if (it->second.attributes != entry.attributes || it->second.contents != entry.contents) {
            std::string detail;
            if (it->second.attributes != entry.attributes) detail = "attributes " + Hex(entry.attributes) + " -> " + Hex(it->second.attributes);
            if (it->second.contents != entry.contents) {
                if (!detail.empty()) detail += ", ";
                detail += "contents " + std::to_string(entry.contents.size()) + " -> " +
                          std::to_string(it->second.contents.size()) + " bytes";
            }
            out.push_back({Kind::kChanged, what, entry.path, detail});
        }
    }
    for (const auto& [key, entry] : after.files) {
        if (!before.files.count(key)) out.push_back({Kind::kAdded, entry.folder ? What::kFolder : What::kFile, entry.path, ""});
    }
    for (const auto& [key, path] : before.keys) {
        if (!after.keys.count(key)) out.push_back({Kind::kRemoved, What::kKey, path, ""});
    }
    for (const auto& [key, path] : after.keys) {
        if (!before.keys.count(key)) out.push_back({Kind::kAdded, What::kKey, path, ""});
    }
    auto value_path = [](const Snapshot::Value& v) { return v.key + u"\\[" + v.value.name + u"]"; };
    for (const auto& [key, value] : before.values) {
        auto it = after.values.find(key);
        if (it == after.values.end()) {
            out.push_back({Kind::kRemoved, What::kValue, value_path(value), DescribeValue(value.value)});
        } else if (it->second.value.type != value.value.type || it->second.value.data != value.value.data) {
            out.push_back({Kind::kChanged, What::kValue, value_path(value),
                           DescribeValue(value.value) + " -> " + DescribeValue(it->second.value)});
        }
    }
    for (const auto& [key, value] : after.values) {
        if (!before.values.count(key)) out.push_back({Kind::kAdded, What::kValue, value_path(value), DescribeValue(value.value)});
    }
    std::vector<std::u16string> left = before.pending_deletions;
    for (const std::u16string& path : after.pending_deletions) {
        auto it = std::find(left.begin(), left.end(), path);
        if (it != left.end()) {
            left.erase(it);
        } else {
            out.push_back({Kind::kAdded, What::kPendingDeletion, path, ""});
        }
    }
    for (const std::u16string& path : left) out.push_back({Kind::kRemoved, What::kPendingDeletion, path, ""});
    return out;
}

std::string ToString(const std::vector<Change>& changes) {
    static const char* const kKinds[] = {"+", "-", "~"};
    static const char* const kWhats[] = {"file", "folder", "key", "value", "pending deletion"};
    std::string text;
    for (const Change& c : changes) {
        text += kKinds[static_cast<int>(c.kind)];
        text += " ";
        text += kWhats[static_cast<int>(c.what)];
        text += " " + Narrow(c.path);
        if (!c.detail.empty()) text += " (" + c.detail + ")";
        text += "\n";
    }
    return text;
}

}  // namespace dismora::sim
