#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/unique_handle.h"

// The cache file a download writes into. It is opened once, without
// following a reparse point, and kept open (others may read it, nobody else
// may write, rename or delete it) until Close; every write is appended at
// its end, so its size is what has been received.
//
// An entry that exists already is resumed only when it is a plain file (no
// link, no junction, one name) of a trusted owner; anything else is deleted
// through its own handle (a WARNING) and the download starts afresh.
class DownloadFile {
  public:
    explicit DownloadFile(std::wstring path) : path_(std::move(path)) {}

    // True when a usable entry exists (and is now held open).
    [[nodiscard]] bool Exists();

    // The low 32 bits of the file's size; false when the file cannot be examined.
    [[nodiscard]] bool Size(uint32_t& size) const;

    // Appends. Creates the file at the first write when none is held; false
    // (logged) when it cannot be created or not every byte was written.
    [[nodiscard]] bool Write(const uint8_t* bytes, size_t count);

    void Close();

    // Deletes the file (the held one, or the entry at the path itself, never
    // what a link there points at) and closes it; the result is not checked.
    void Delete();

    [[nodiscard]] const std::wstring& Path() const { return path_; }

  private:
    [[nodiscard]] bool Examine(uint32_t& size) const;

    // Opens the existing entry and keeps it when it may be resumed.
    [[nodiscard]] bool OpenExisting();

    std::wstring path_;
    Common::KernelHandle file_;
};
