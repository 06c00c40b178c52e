#pragma once

#include <windows.h>
#include <evntprov.h>

#include <atomic>
#include <type_traits>
#include <cstdint>

// Bits of the enable mask, one per event the system writes. Bits 6 to 9 belong
// to no event.
enum TraceEnableBit : unsigned {
    kTraceBitExit = 0,
    kTraceBitEnter = 1,
    kTraceBitVerbose = 2,
    kTraceBitInfo = 3,
    kTraceBitWarning = 4,
    kTraceBitError = 5,
    kTraceBitModuleList = 10,
    kTraceBitCrashReport = 11,
};

// One row of the enable table: the event and the mask bit it is enabled by.
struct TraceEventRow {
    TraceEnableBit bit;
    EVENT_DESCRIPTOR descriptor;
};

// Every event of the system, in enable-bit order. The instrumentation manifest
// (common/kgclient_update.man) declares the same numbers. A bit's first row is
// the event Write sends for it; the crash report part (2022) shares the crash
// report's bit and is sent by its id.
extern const TraceEventRow kTraceEventTable[9];

// The event that carries one part of a crash report too large for one event.
inline constexpr USHORT kCrashReportPartEventId = 2022;

// Where the provider's events go: a seam (common/scoped_override.h) whose
// platform instance calls EventWrite. Tests observe events through their own
// (no ETW session ever exists under Wine).
class EventWriter {
  public:
    virtual ~EventWriter() = default;

    [[nodiscard]] static EventWriter& Platform();

    virtual ULONG Write(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor, ULONG fieldCount,
                        PEVENT_DATA_DESCRIPTOR fields);
};

// The system's ETW provider: its registration, the parameters of the session
// that enabled it, and the enable mask that every log call tests.
class TraceProvider {
  public:
    using Hook = void (*)();

    // {1F65ED87-2BC8-44DB-BF60-7D83314B0D0A}
    static const GUID kProviderId;

    // Registers with ETW unless already registered. A failed registration
    // leaves the handle 0: no session can enable an event and writes do nothing.
    void Register();

    [[nodiscard]] REGHANDLE RegistrationHandle() const { return registrationHandle_; }
    [[nodiscard]] uint32_t EnableMask() const {
        return enableMask_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] bool IsEnabled(TraceEnableBit bit) const {
        return ((EnableMask() >> bit) & 1u) != 0;
    }
    [[nodiscard]] bool SessionEnabled() const { return sessionEnabled_; }
    [[nodiscard]] UCHAR SessionLevel() const { return sessionLevel_; }
    [[nodiscard]] ULONGLONG MatchAnyKeyword() const { return matchAnyKeyword_; }
    [[nodiscard]] ULONGLONG MatchAllKeyword() const { return matchAllKeyword_; }

    // Writes the event of `bit` if the provider is registered. Returns the
    // write's result (ERROR_SUCCESS also when nothing was written).
    ULONG Write(TraceEnableBit bit, ULONG fieldCount, EVENT_DATA_DESCRIPTOR* fields) const;

    // The same for the event with `eventId`.
    ULONG WriteEvent(USHORT eventId, ULONG fieldCount, EVENT_DATA_DESCRIPTOR* fields) const;

    // Crash reporting's entry points: the module-list writer and the crash
    // handler installer (StartCrashReporting sets them at the process entry;
    // null: none). Called on a capture-state request and, for the events a
    // session already enabled, right after registration.
    void SetCrashReportingHooks(Hook writeModuleList, Hook armCrashHandlers);
    void RunRegistrationHooks() const;

    // ETW's enable callback; `context` is the TraceProvider.
    static void NTAPI EnableCallback(LPCGUID sourceId, ULONG controlCode, UCHAR level,
                                     ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                                     PEVENT_FILTER_DESCRIPTOR filterData, PVOID context);

  private:
    void OnEnable(UCHAR level, ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword);
    void OnDisable();
    void OnCaptureState() const;

    REGHANDLE registrationHandle_ = 0;
    bool sessionEnabled_ = false;
    UCHAR sessionLevel_ = 0;
    ULONGLONG matchAnyKeyword_ = 0;
    ULONGLONG matchAllKeyword_ = 0;
    std::atomic<uint32_t> enableMask_{0};
    // Set at the process entry; read by ETW's callback thread too.
    std::atomic<Hook> writeModuleList_{nullptr};
    std::atomic<Hook> armCrashHandlers_{nullptr};
};

// The process's one provider. Constant-initialised, so it is usable from the
// first log call on, also during static initialisation.
extern TraceProvider traceProvider;
static_assert(std::is_trivially_destructible_v<TraceProvider>);
