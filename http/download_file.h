#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "common/unique_handle.h"

// A C run-time file stream.
struct FileStreamTraits {
    using Handle = FILE*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { std::fclose(h); }
};
using FileStream = Common::UniqueHandle<FileStreamTraits>;

// The cache file a download writes into: every write is appended at its end
// and flushed, so its size on disk is what has been received.
class DownloadFile {
  public:
    explicit DownloadFile(std::wstring path) : path_(std::move(path)) {}

    [[nodiscard]] bool Exists() const;

    // The low 32 bits of the file's size; false when the file cannot be examined.
    [[nodiscard]] bool Size(uint32_t& size) const;

    // Appends and flushes. Opens the stream (append, binary) at the first
    // write; false (logged) when it cannot be opened: nothing is written then.
    [[nodiscard]] bool Write(const uint8_t* bytes, size_t count);

    void Close();

    // Closes the stream and deletes the file; the result is not checked.
    void Delete();

    [[nodiscard]] const std::wstring& Path() const { return path_; }

  private:
    [[nodiscard]] bool Examine(uint32_t& size) const;

    std::wstring path_;
    FileStream stream_;
};
