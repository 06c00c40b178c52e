#pragma once

#include <windows.h>
#include <sddl.h>

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
    };

    DWORD CreateFolder(const std::wstring& path, const wchar_t* sddl) override {
        std::lock_guard<std::mutex> lock(mutex_);
        created.push_back({path, Canonical(sddl)});
        return FileSystem::CreateFolder(path, sddl);
    }

    DWORD ApplySecurity(HANDLE handle, const wchar_t* sddl) override {
        std::lock_guard<std::mutex> lock(mutex_);
        applied.push_back({PathOf(handle), Canonical(sddl)});
        return FileSystem::ApplySecurity(handle, sddl);
    }

    DWORD Inspect(HANDLE handle, Common::FileFacts& facts) override {
        const DWORD error = FileSystem::Inspect(handle, facts);
        std::lock_guard<std::mutex> lock(mutex_);
        const std::wstring path = PathOf(handle);
        for (const auto& [suffix, change] : overrides) {
            if (path.size() >= suffix.size() &&
                _wcsicmp(path.c_str() + path.size() - suffix.size(), suffix.c_str()) == 0) {
                facts.attributes |= change.addAttributes;
                facts.links = change.links != 0 ? change.links : facts.links;
                facts.ownerSid = change.ownerSid.empty() ? facts.ownerSid : change.ownerSid;
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
        return handle;
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

    std::map<std::wstring, Override> overrides;  // by path suffix
    std::vector<std::pair<std::wstring, std::wstring>> created;  // path, SDDL
    std::vector<std::pair<std::wstring, std::wstring>> applied;  // path, SDDL

  private:
    std::wstring PathOf(HANDLE handle) const {
        const auto found = opened.find(handle);
        return found != opened.end() ? found->second : std::wstring();
    }

    std::map<HANDLE, std::wstring> opened;  // handle values may be reused: the latest wins
    mutable std::mutex mutex_;
};

}  // namespace testsupport
