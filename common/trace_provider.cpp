#include "common/trace_provider.h"

#include "common/scoped_override.h"

namespace {

constexpr USHORT kEventVersion = 1;
constexpr UCHAR kChannel = 16;
// Every keyword holds the channel's own bit.
constexpr ULONGLONG kChannelKeyword = 0x8000000000000000ull;
constexpr ULONGLONG kKeywordMessages = kChannelKeyword | 0x2;
constexpr ULONGLONG kKeywordCallTrace = kChannelKeyword | 0x4;
constexpr ULONGLONG kKeywordModules = kChannelKeyword | 0x8;
constexpr ULONGLONG kKeywordCrash = kChannelKeyword | 0x10;

constexpr EVENT_DESCRIPTOR Event(USHORT id, UCHAR level, UCHAR opcode, USHORT task,
                                 ULONGLONG keyword) noexcept {
    return EVENT_DESCRIPTOR{id, kEventVersion, kChannel, level, opcode, task, keyword};
}

enum ControlCode : ULONG { kDisable = 0, kEnable = 1, kCaptureState = 2 };

}  // namespace

const TraceEventRow kTraceEventTable[9] = {
    {kTraceBitExit, Event(2000, 17, 11, 2, kKeywordCallTrace)},
    {kTraceBitEnter, Event(2001, 16, 10, 2, kKeywordCallTrace)},
    {kTraceBitVerbose, Event(2002, 5, 12, 1, kKeywordCallTrace)},
    {kTraceBitInfo, Event(2003, 4, 13, 1, kKeywordMessages)},
    {kTraceBitWarning, Event(2004, 3, 14, 1, kKeywordMessages)},
    {kTraceBitError, Event(2005, 2, 15, 1, kKeywordMessages)},
    {kTraceBitModuleList, Event(2020, 4, 12, 1, kKeywordModules)},
    {kTraceBitCrashReport, Event(2021, 1, 15, 1, kKeywordCrash)},
    {kTraceBitCrashReport, Event(kCrashReportPartEventId, 1, 15, 1, kKeywordCrash)},
};

const GUID TraceProvider::kProviderId = {
    0x1f65ed87, 0x2bc8, 0x44db, {0xbf, 0x60, 0x7d, 0x83, 0x31, 0x4b, 0x0d, 0x0a}};

void TraceProvider::Register() {
    if (registrationHandle_ != 0) {
        return;
    }
    REGHANDLE handle = 0;
    if (::EventRegister(&kProviderId, &TraceProvider::EnableCallback, this, &handle) ==
        ERROR_SUCCESS) {
        registrationHandle_ = handle;
    }
}

EventWriter& EventWriter::Platform() {
    static EventWriter platform;
    return platform;
}

ULONG EventWriter::Write(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor, ULONG fieldCount,
                         PEVENT_DATA_DESCRIPTOR fields) {
    return ::EventWrite(handle, descriptor, fieldCount, fields);
}

namespace {

ULONG WriteRow(const TraceEventRow* row, REGHANDLE handle, ULONG fieldCount,
               EVENT_DATA_DESCRIPTOR* fields) {
    if (handle == 0 || row == nullptr) {
        return ERROR_SUCCESS;
    }
    return Common::Current<EventWriter>().Write(handle, &row->descriptor, fieldCount, fields);
}

}  // namespace

ULONG TraceProvider::Write(TraceEnableBit bit, ULONG fieldCount,
                           EVENT_DATA_DESCRIPTOR* fields) const {
    for (const TraceEventRow& row : kTraceEventTable) {
        if (row.bit == bit) {
            return WriteRow(&row, registrationHandle_, fieldCount, fields);
        }
    }
    return ERROR_SUCCESS;
}

ULONG TraceProvider::WriteEvent(USHORT eventId, ULONG fieldCount,
                                EVENT_DATA_DESCRIPTOR* fields) const {
    for (const TraceEventRow& row : kTraceEventTable) {
        if (row.descriptor.Id == eventId) {
            return WriteRow(&row, registrationHandle_, fieldCount, fields);
        }
    }
    return ERROR_SUCCESS;
}

void TraceProvider::SetCrashReportingHooks(Hook writeModuleList, Hook armCrashHandlers) {
    writeModuleList_.store(writeModuleList, std::memory_order_release);
    armCrashHandlers_.store(armCrashHandlers, std::memory_order_release);
}

void TraceProvider::RunRegistrationHooks() const {
    const Hook writeModuleList = writeModuleList_.load(std::memory_order_acquire);
    if (IsEnabled(kTraceBitModuleList) && writeModuleList != nullptr) {
        writeModuleList();
    }
    const Hook armCrashHandlers = armCrashHandlers_.load(std::memory_order_acquire);
    if (IsEnabled(kTraceBitCrashReport) && armCrashHandlers != nullptr) {
        armCrashHandlers();
    }
}

void NTAPI TraceProvider::EnableCallback(LPCGUID, ULONG controlCode, UCHAR level,
                                         ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                                         PEVENT_FILTER_DESCRIPTOR, PVOID context) {
    auto* provider = static_cast<TraceProvider*>(context);
    if (provider == nullptr) {
        return;
    }
    switch (controlCode) {
        case kEnable:
            provider->OnEnable(level, matchAnyKeyword, matchAllKeyword);
            break;
        case kDisable:
            provider->OnDisable();
            break;
        case kCaptureState:
            provider->OnCaptureState();
            break;
        default:
            break;
    }
}

void TraceProvider::OnEnable(UCHAR level, ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword) {
    sessionLevel_ = level;
    matchAnyKeyword_ = matchAnyKeyword;
    matchAllKeyword_ = matchAllKeyword;
    sessionEnabled_ = true;

    uint32_t mask = 0;
    for (const TraceEventRow& row : kTraceEventTable) {
        const EVENT_DESCRIPTOR& event = row.descriptor;
        const bool levelPasses = event.Level <= level || level == 0;
        const bool keywordPasses =
            event.Keyword == 0 || ((event.Keyword & matchAnyKeyword) != 0 &&
                                   (event.Keyword & matchAllKeyword) == matchAllKeyword);
        if (levelPasses && keywordPasses) {
            mask |= 1u << row.bit;
        }
    }
    enableMask_.store(mask, std::memory_order_relaxed);
}

void TraceProvider::OnDisable() {
    sessionEnabled_ = false;
    sessionLevel_ = 0;
    matchAnyKeyword_ = 0;
    matchAllKeyword_ = 0;
    enableMask_.store(0, std::memory_order_relaxed);
}

void TraceProvider::OnCaptureState() const {
    const Hook writeModuleList = writeModuleList_.load(std::memory_order_acquire);
    if (writeModuleList != nullptr) {
        writeModuleList();
    }
    const Hook armCrashHandlers = armCrashHandlers_.load(std::memory_order_acquire);
    if (armCrashHandlers != nullptr) {
        armCrashHandlers();
    }
}

TraceProvider traceProvider;
