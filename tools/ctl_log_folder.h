#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"

// The workers' run logs as kgupdate-ctl reads them, run elevated: the folder
// chain is judged as the service judges it, every file is opened without
// following a link, and no more of a file is read than is shown.
class RunLogFolder {
  public:
    // The most of one file that is read: its end, as much as a worker's file
    // ever holds (the run log's cap).
    static constexpr uint64_t kMaxReadBytes = uint64_t{1024} * 1024;

    // Opens <root>\kestrelGATE\Client\AutoUpdate\logs level by level, each
    // through the handle of the one above (the first by path; a link or
    // junction is opened and judged, never followed), and judges each level
    // through its handle as the service does: its owner and access list must
    // make it the service's own. The handles stay open while the object
    // lives. ERROR_SUCCESS, or the error of the open (ERROR_FILE_NOT_FOUND:
    // no logs yet; ERROR_ACCESS_DENIED: not an administrator), or
    // ERROR_INVALID_OWNER when a level is not the service's own (`why` names
    // it and says why).
    [[nodiscard]] DWORD Open(const std::wstring& root, std::wstring& why);

    // The folder's path, with its final backslash.
    [[nodiscard]] const std::wstring& Path() const { return path_; }

    // The run log files' names (RunLog::IsFileName), oldest first; false
    // (error kept) when the folder cannot be listed.
    [[nodiscard]] bool Names(std::vector<std::wstring>& names) const;

    // The end of the run file `name`: at most `maxBytes`, `skipped` the
    // bytes before them that were left out. The file must be a plain file
    // (one name, no link) of a trusted owner; otherwise, or when it cannot be
    // read, false with `why` saying so.
    [[nodiscard]] bool ReadTail(const std::wstring& name, uint64_t maxBytes, std::string& text,
                                uint64_t& skipped, std::wstring& why) const;

  private:
    // Open's steps; the levels opened so far stay in held_.
    [[nodiscard]] DWORD OpenLevels(const std::wstring& root, std::wstring& why);

    std::wstring path_;
    std::vector<Common::KernelHandle> held_;
};
