#pragma once

#include <cstdint>
#include <string>

#include "update/update_failure.h"
#include "update/update_request.h"

// The instruction names a request may carry in its "id".
inline constexpr wchar_t kBeginInstruction[] = L"beginAutoUpdate";
inline constexpr wchar_t kQueryInstruction[] = L"queryAutoUpdateProgress";

// The "id" of a request text, or empty when the text is not a JSON object
// with a string "id". Never fails.
[[nodiscard]] std::wstring ParseInstruction(const wchar_t* requestText);

// Exact, case-sensitive comparisons of an instruction name.
[[nodiscard]] bool IsBeginInstruction(const std::wstring& instruction);
[[nodiscard]] bool IsQueryInstruction(const std::wstring& instruction);

// The most URLs one begin may name: each is tried in turn, and each may
// leave a partial download in the cache.
inline constexpr size_t kMaxUpdateUrls = 16;

// Fills `request` (passed empty) from the "data" of a begin request; a hash
// of 64 hexadecimal digits is stored in upper case. Returns
// false, leaving `request` as it was, when the JSON library ran out of memory,
// when "hash" or "args" is present but not a string, or when "urls" has more
// than kMaxUpdateUrls entries (an ERROR names the count). A text that is not a
// JSON object, or has no "data" object, gives an empty request. For too
// many URLs `refusal` (when given) receives why, at stage "request".
[[nodiscard]] bool ParseUpdateRequest(const wchar_t* requestText, UpdateRequest& request,
                                      UpdateFailure* refusal = nullptr);

// True when a query asks for detail: its "data" object holds "detail": true
// (the JSON literal; anything else, or nothing, asks for the plain answer).
[[nodiscard]] bool IsDetailedQuery(const wchar_t* requestText);

// Builds {"data":{"status":N}} in a midl_user_allocate buffer and stores its
// address in `response`; leaves `response` untouched when allocation fails.
void ComposeResponse(UpdateStatus status, wchar_t** response);

// The same with the download's progress:
// {"data":{"status":N,"received":R,"total":T}}; for a failed update (status 3
// with `failure` set) also why:
// {"data":{"status":3,"received":R,"total":T,"error":{"stage":S,"code":C,"text":X}}}.
void ComposeDetailedResponse(UpdateStatus status, uint64_t received, uint64_t total,
                             const UpdateFailure& failure, wchar_t** response);
