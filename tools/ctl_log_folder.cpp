#include "tools/ctl_log_folder.h"

#include <algorithm>
#include <utility>

#include "common/access_list.h"
#include "common/checked_open.h"
#include "common/file_system.h"
#include "common/run_log.h"
#include "update/cache_layout.h"

namespace {

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

DWORD RunLogFolder::Open(const std::wstring& root, std::wstring& why) {
    const DWORD opened = OpenLevels(root, why);
    if (opened != ERROR_SUCCESS) {
        held_.clear();  // nothing of a folder that was refused is read
    }
    return opened;
}

DWORD RunLogFolder::OpenLevels(const std::wstring& root, std::wstring& why) {
    held_.clear();
    std::vector<const wchar_t*> levels(std::begin(kCacheFolderLevels),
                                       std::end(kCacheFolderLevels));
    levels.push_back(kRunLogFolder);
    std::wstring path = root;
    for (size_t i = 0; i < levels.size(); ++i) {
        path += L"\\";
        path += levels[i];
        Common::KernelHandle level;
        Common::FileFacts facts;
        if (i == 0) {
            Common::CheckedEntry entry =
                Common::OpenChecked(path, kFolderAccess, kShareAll, OPEN_EXISTING,
                                    Common::Expect::kAnything);
            if (!entry.Opened() || entry.error != ERROR_SUCCESS) {
                path_ = path + L"\\";
                return entry.error;
            }
            level = std::move(entry.handle);
            facts = entry.facts;
        } else {
            level = Common::Files().OpenChild(held_.back().Get(), levels[i], kFolderAccess,
                                              kShareAll);
            if (!level) {
                path_ = path + L"\\";
                return ::GetLastError();
            }
            const DWORD inspected = Common::Files().Inspect(level.Get(), facts);
            if (inspected != ERROR_SUCCESS) {
                path_ = path + L"\\";
                return inspected;
            }
        }
        // The cache folder and its logs hold what only the service may add.
        const bool kept = i + 2 >= levels.size();
        const std::wstring notOwn = Common::WhyNotOwnFolder(
            facts, kept ? Common::kOwnFolderChangeRights : Common::kFolderChainChangeRights);
        if (!notOwn.empty()) {
            why = L"the folder ";
            why += path;
            why += L" is not the service's own (";
            why += notOwn;
            why += L")";
            return ERROR_INVALID_OWNER;
        }
        held_.push_back(std::move(level));
    }
    path_ = path + L"\\";
    return ERROR_SUCCESS;
}

bool RunLogFolder::Names(std::vector<std::wstring>& names) const {
    names.clear();
    std::vector<std::wstring> entries;
    if (held_.empty() || !Common::ListFolder(held_.back().Get(), entries)) {
        return false;
    }
    for (std::wstring& name : entries) {
        if (RunLog::IsFileName(name)) {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());  // the names sort by start time
    return true;
}

bool RunLogFolder::ReadTail(const std::wstring& name, uint64_t maxBytes, std::string& text,
                            uint64_t& skipped, std::wstring& why) const {
    text.clear();
    skipped = 0;
    if (held_.empty()) {
        why = L"the folder is not open";
        return false;
    }
    const Common::KernelHandle file = Common::Files().OpenChild(
        held_.back().Get(), name, GENERIC_READ | READ_CONTROL, kShareAll);
    if (!file) {
        const DWORD error = ::GetLastError();
        why = error == ERROR_ACCESS_DENIED
                  ? L"access is denied (reading the run logs needs an administrator)"
                  : L"it cannot be opened (error " + std::to_wstring(error) + L")";
        return false;
    }
    Common::FileFacts facts;
    if (Common::Files().Inspect(file.Get(), facts) != ERROR_SUCCESS ||
        !Common::IsPlainFile(facts) || !Common::IsTrustedOwner(facts.ownerSid)) {
        why = L"it is not a plain file of a trusted owner; it is not read";
        return false;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        why = L"its size cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    const uint64_t length = static_cast<uint64_t>(size.QuadPart);
    skipped = length > maxBytes ? length - maxBytes : 0;
    LARGE_INTEGER from = {};
    from.QuadPart = static_cast<LONGLONG>(skipped);
    if (!::SetFilePointerEx(file.Get(), from, nullptr, FILE_BEGIN)) {
        why = L"it cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
        return false;
    }
    text.resize(static_cast<size_t>(length - skipped));
    size_t done = 0;
    while (done < text.size()) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        if (!::ReadFile(file.Get(), &text[done], want, &read, nullptr)) {
            why = L"it cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
            return false;
        }
        if (read == 0) {
            break;  // it became shorter while read
        }
        done += read;
    }
    text.resize(done);
    return true;
}
