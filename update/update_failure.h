#pragma once

#include <cstdint>
#include <string>

// Where an update failed. The names are those of the detailed answer.
inline constexpr wchar_t kStageRequest[] = L"request";      // the instruction's content
inline constexpr wchar_t kStageCache[] = L"cache";          // the cache folder cannot be used
inline constexpr wchar_t kStageDownload[] = L"download";    // every URL failed to download
inline constexpr wchar_t kStageHash[] = L"hash";            // the digest is not the policy's
inline constexpr wchar_t kStageSignature[] = L"signature";  // trust, signer or version refused
inline constexpr wchar_t kStageInstall[] = L"install";      // the installer failed or timed out
inline constexpr wchar_t kStageInternal[] = L"internal";    // anything else

// Why an update failed, as the detailed answer of a failed update and the
// run's summary tell it: the stage, the code of what failed there (an HTTP
// status, a Windows, WinHTTP or trust error, an installer's exit code; 0 when
// none applies) and one plain sentence an administrator can act on.
struct UpdateFailure {
    const wchar_t* stage = L"";
    int64_t code = 0;
    std::wstring text;

    [[nodiscard]] bool IsSet() const { return stage[0] != L'\0'; }
};
