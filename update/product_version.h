#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The product name and version an executable's version resource states.
struct ProductVersion {
    std::wstring productName;
    uint64_t version = 0;  // major.minor.patch.build, 16 bits each

    // "1.0.0.42"
    [[nodiscard]] std::wstring Text() const;
};

// Reads the version resource of the executable at `path`: its fixed product
// version and the ProductName of its first translation. False when the file
// has no version resource, or one without a product name.
[[nodiscard]] bool ReadProductVersion(const std::wstring& path, ProductVersion& read);

// The same from the file open at `file` (with read access), through a
// read-only mapping of that handle: what is read is what the other checks
// of the held file read, not a second open of its path.
// A version resource that is not sound (CheckVersionBlock) is not read
// (false), here and above.
[[nodiscard]] bool ReadProductVersion(HANDLE file, ProductVersion& read);

// False (ERROR) when the download open at `file` (named `path`) carries a
// version resource that is not sound (CheckVersionBlock): its lengths, key
// or nesting do not hold together. `refusal` (when given) receives why. A
// download without a version resource passes.
[[nodiscard]] bool HasSoundVersionResource(HANDLE file, const std::wstring& path,
                                           std::wstring* refusal = nullptr);

// Reads the version resource of the executable at `ownPath` (the service's
// own) now and keeps it for the process's life, like its signature: later
// checks with that `ownPath` use what was read then.
void KeepServiceVersion(const std::wstring& ownPath);

// The downgrade rule: false (ERROR with both versions) when the download open
// at `file` (named `path`) and the service at `ownPath` both carry a version resource with the
// same product name (letter case ignored) and the download's product version
// is lower than the service's. A download without a version resource, or of
// another product, passes, as does any download when the service has none.
// `refusal` (when given) receives the refusal as a sentence. With
// `olderAllowed` (administrators' AllowDowngrade policy) an older release
// passes too, with one WARNING naming both versions.
[[nodiscard]] bool IsNotOlderThanService(HANDLE file, const std::wstring& path,
                                         const std::wstring& ownPath,
                                         std::wstring* refusal = nullptr,
                                         bool olderAllowed = false);

// The rule for downloads that a caller who is not an administrator asked
// for: true only when the download open at `file` (named `path`) carries a version resource whose
// product name is the service's own (letter case ignored) and whose product
// version is strictly higher than the service's. Anything else (no version
// resource on either, another product, the same or a lower version) is
// refused with an ERROR; `refusal` (when given) receives why.
[[nodiscard]] bool IsNewerReleaseOfService(HANDLE file, const std::wstring& path,
                                           const std::wstring& ownPath,
                                           std::wstring* refusal = nullptr);
