#pragma once

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/file_system.h"

namespace testsupport {

// The real file calls, with what the platform under test cannot show: Wine
// neither stores descriptors nor makes reparse points, and every file there
// has the same owner. It records the descriptors passed (as canonical SDDL:
// text -> descriptor -> text) and reports, for paths ending in a given text,
// extra attributes, another link count or another owner.
class FakeFileSystem : public Common::FileSystem {
  public:
    struct Override {
        DWORD addAttributes = 0;
        DWORD links = 0;        // 0: the real count
        std::wstring ownerSid;  // empty: the real owner
        // Owner and access list as SDDL (the owner read from it); empty: the real ones.
        std::wstring descriptorSddl;
    };

    DWORD CreateFolder(const std::wstring& path, const wchar_t* sddl) override {
        std::lock_guard<std::mutex> lock(mutex_);
        created.push_back({path, Canonical(sddl)});
        return FileSystem::CreateFolder(path, sddl);
    }

    Common::KernelHandle CreateNewFile(const std::wstring& path, const wchar_t* sddl,
                                       DWORD access, DWORD share) override {
        Common::KernelHandle handle = FileSystem::CreateNewFile(path, sddl, access, share);
        const DWORD error = ::GetLastError();
        std::lock_guard<std::mutex> lock(mutex_);
        created.push_back({path, Canonical(sddl)});
        if (handle) {
            opened[handle.Get()] = path;
        }
        ::SetLastError(error);
        return handle;
    }

    DWORD ApplySecurity(HANDLE handle, const wchar_t* sddl) override {
        std::lock_guard<std::mutex> lock(mutex_);
        applied.push_back({PathOf(handle), Canonical(sddl)});
        return FileSystem::ApplySecurity(handle, sddl);
    }

    DWORD Inspect(HANDLE handle, Common::FileFacts& facts) override {
        const DWORD error = FileSystem::Inspect(handle, facts);
        BY_HANDLE_FILE_INFORMATION information = {};
        const bool identified = ::GetFileInformationByHandle(handle, &information) != FALSE;
        const ObjectId object = {information.dwVolumeSerialNumber,
                                 (static_cast<uint64_t>(information.nFileIndexHigh) << 32) |
                                     information.nFileIndexLow};
        std::lock_guard<std::mutex> lock(mutex_);
        const std::wstring path = PathOf(handle);
        for (const auto& [suffix, change] : overrides) {
            const bool containing = !suffix.empty() && suffix.back() == L'*';
            const std::wstring text = containing ? suffix.substr(0, suffix.size() - 1) : suffix;
            const bool named = containing ? path.find(text) != std::wstring::npos
                                          : path.size() >= suffix.size() &&
                                                _wcsicmp(path.c_str() + path.size() - suffix.size(),
                                                         suffix.c_str()) == 0;
            // An override stays with the object it first matched: renamed,
            // it keeps its facts; a new object at that path has its own.
            const auto bound = boundTo_.find(suffix);
            if (bound == boundTo_.end() ? !named : !(identified && bound->second == object)) {
                continue;
            }
            if (bound == boundTo_.end() && identified) {
                boundTo_[suffix] = object;
            }
            facts.attributes |= change.addAttributes;
            facts.links = change.links != 0 ? change.links : facts.links;
            facts.ownerSid = change.ownerSid.empty() ? facts.ownerSid : change.ownerSid;
            if (!change.descriptorSddl.empty()) {
                facts.descriptorSddl = change.descriptorSddl;
                facts.ownerSid = OwnerOf(change.descriptorSddl);
            } else if (!change.ownerSid.empty()) {
                // The owner alone changes: the access list stays the real one.
                const size_t list = facts.descriptorSddl.find(L"D:");
                facts.descriptorSddl =
                    L"O:" + change.ownerSid +
                    (list == std::wstring::npos ? std::wstring() : facts.descriptorSddl.substr(list));
            }
        }
        return error;
    }

    Common::KernelHandle Open(const std::wstring& path, DWORD access, DWORD share,
                              DWORD disposition) override {
        Common::KernelHandle handle = FileSystem::Open(path, access, share, disposition);
        std::lock_guard<std::mutex> lock(mutex_);
        if (handle) {
            opened[handle.Get()] = path;
        }
        openedByPath.push_back(path);
        return handle;
    }

    Common::KernelHandle CreateNewChild(HANDLE folder, const std::wstring& name,
                                        const wchar_t* sddl, DWORD access,
                                        DWORD share) override {
        Common::KernelHandle handle = FileSystem::CreateNewChild(folder, name, sddl, access, share);
        const DWORD error = ::GetLastError();
        std::lock_guard<std::mutex> lock(mutex_);
        const std::wstring path = PathOf(folder) + L"\\" + name;
        created.push_back({path, Canonical(sddl)});
        if (handle) {
            opened[handle.Get()] = path;
        }
        ::SetLastError(error);
        return handle;
    }

    Common::KernelHandle OpenChild(HANDLE folder, const std::wstring& name, DWORD access,
                                   DWORD share) override {
        Common::KernelHandle handle = FileSystem::OpenChild(folder, name, access, share);
        const DWORD error = ::GetLastError();
        std::lock_guard<std::mutex> lock(mutex_);
        openedChildren.push_back(name);
        if (handle) {
            opened[handle.Get()] = PathOf(folder) + L"\\" + name;
        }
        ::SetLastError(error);
        return handle;
    }

    DWORD List(HANDLE folder, std::vector<Common::FolderEntry>& entries) override {
        if (listError != ERROR_SUCCESS) {
            return listError;
        }
        return FileSystem::List(folder, entries);
    }

    // A descriptor's text as the platform writes it back.
    static std::wstring Canonical(const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                    &descriptor, nullptr)) {
            return L"<invalid>";
        }
        wchar_t* text = nullptr;
        std::wstring result = L"<unconvertible>";
        if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                descriptor, SDDL_REVISION_1,
                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
            result = text;
            ::LocalFree(text);
        }
        ::LocalFree(descriptor);
        return result;
    }

    // The owner an SDDL text names ("O:BA" is Administrators).
    static std::wstring OwnerOf(const std::wstring& sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        std::wstring owner;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                    &descriptor, nullptr)) {
            PSID sid = nullptr;
            BOOL defaulted = FALSE;
            wchar_t* text = nullptr;
            if (::GetSecurityDescriptorOwner(descriptor, &sid, &defaulted) && sid != nullptr &&
                ::ConvertSidToStringSidW(sid, &text)) {
                owner = text;
                ::LocalFree(text);
            }
            ::LocalFree(descriptor);
        }
        return owner;
    }

    // By path suffix, or, for a key ending in '*', by a text the path holds;
    // each applies to the first object it matched, wherever it is moved.
    std::map<std::wstring, Override> overrides;
    std::vector<std::wstring> openedByPath;      // every Open by path, in order
    std::vector<std::wstring> openedChildren;    // the name of every OpenChild, in order
    DWORD listError = ERROR_SUCCESS;             // set: every listing fails with it
    std::vector<std::pair<std::wstring, std::wstring>> created;  // path, SDDL
    std::vector<std::pair<std::wstring, std::wstring>> applied;  // path, SDDL

  private:
    struct ObjectId {
        DWORD volume = 0;
        uint64_t index = 0;
        bool operator==(const ObjectId& other) const {
            return volume == other.volume && index == other.index;
        }
    };

    std::wstring PathOf(HANDLE handle) const {
        const auto found = opened.find(handle);
        return found != opened.end() ? found->second : std::wstring();
    }

    std::map<HANDLE, std::wstring> opened;  // handle values may be reused: the latest wins
    std::map<std::wstring, ObjectId> boundTo_;  // by override key
    mutable std::mutex mutex_;
};

}  // namespace testsupport
