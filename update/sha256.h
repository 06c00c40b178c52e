#pragma once

#include <windows.h>

#include <string>

// SHA-256 digests as the update pipeline uses them: always the full digest as
// 64 upper-case hexadecimal characters, compared as plain, case-sensitive text.
class Sha256 {
  public:
    virtual ~Sha256() = default;

    // True when the digest of the file's bytes equals `expected` exactly (no
    // trimming, no case folding). A file that cannot be opened or read raises
    // the hashing library's FileStore::OpenErr or FileStore::ReadErr.
    [[nodiscard]] bool CheckFile(const std::wstring& path, const std::wstring& expected) const;

    // The same for the file open at `file` (read from its start; `path` only
    // names it in the log): the digest is of exactly the bytes that handle
    // reads, and is stored in `computed` when given. A failed read raises
    // FileStore::ReadErr.
    [[nodiscard]] bool CheckOpenFile(HANDLE file, const std::wstring& path,
                                     const std::wstring& expected,
                                     std::wstring* computed = nullptr) const;

    // True for the text of a digest: exactly 64 hexadecimal digits, either
    // case.
    [[nodiscard]] static bool IsDigestText(const std::wstring& text);

    // A digest text in upper case, as the pipeline compares it; any other
    // text unchanged.
    [[nodiscard]] static std::wstring NormalizedDigest(const std::wstring& text);

    // Raises the hashing library's FileStore::OpenErr for `path`: what
    // CheckFile raises for a file it cannot open, for callers that found
    // the file unusable before hashing it. The library's types stay here.
    [[noreturn]] static void RaiseOpenError(const std::wstring& path);

    // The digest of the text's bytes (no NUL): in the console code page while
    // the text is all ASCII (the names that stored caches have), in UTF-8
    // when it holds any other character, so that two texts differing only in
    // characters a code page cannot hold never share a digest.
    [[nodiscard]] std::wstring HashText(const std::wstring& text) const;
};
