#pragma once

#include <cstdint>
#include <string>

class UpdateController;

// What starts the one summary line every worker run writes at its end into
// its log file, so that the outcome outlives the worker.
inline constexpr wchar_t kRunSummaryMarker[] = L"Run summary: ";

// The summary of a run whose update is `controller` (null: none began), with
// the progress queries answered during it:
//   Run summary: result [Failed], stage [hash], code [0], bytes [62914560],
//   seconds [41], queries [40], begun by [HOST\user (S-1-5-21-...)],
//   url [https://host/a.exe], reason [The download's ...]
// `result` is Completed, Failed, or "no update" (then without "queries" and
// "begun by");
// seconds are the update's
// (the run's `runSeconds` without one); the URL is the last one tried. Its
// secrets are masked and control characters written visibly, as in any
// logged line.
[[nodiscard]] std::wstring RunSummary(const UpdateController* controller, uint64_t runSeconds,
                                      uint64_t queries = 0);
