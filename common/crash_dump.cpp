#include "common/crash_dump.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/base64.h"
#include "common/log.h"
#include "common/system_library.h"
#include "common/trace_payload.h"
#include "common/trace_provider.h"
#include "common/unique_handle.h"

namespace {

constexpr DWORD kDumpType = 0x1100;  // MiniDumpWithProcessThreadData | MiniDumpWithThreadInfo

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, DWORD, void*, void*, void*);

// MINIDUMP_EXCEPTION_INFORMATION, laid out as DbgHelp reads it.
#pragma pack(push, 4)
struct DumpExceptionInformation {
    DWORD threadId;
    EXCEPTION_POINTERS* exceptionPointers;
    BOOL clientPointers;
};
#pragma pack(pop)

}  // namespace

void BuildCrashEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[2], const wchar_t* moduleName,
                            const char* dump) {
    SetWideTextField(fields[0], moduleName);
    SetNarrowTextField(fields[1], dump);
}

void BuildCrashPartPayload(EVENT_DATA_DESCRIPTOR (&fields)[4], const wchar_t* moduleName,
                           const uint32_t& index, const uint32_t& count, const char* part) {
    SetWideTextField(fields[0], moduleName);
    EventDataDescCreate(&fields[1], &index, sizeof(index));
    EventDataDescCreate(&fields[2], &count, sizeof(count));
    SetNarrowTextField(fields[3], part);
}

void SendCrashReport(const wchar_t* moduleName, const char* text, size_t length) {
    if (!traceProvider.IsEnabled(kTraceBitCrashReport)) {
        return;
    }
    if (length <= kMaxWholeReportChars) {
        EVENT_DATA_DESCRIPTOR fields[2];
        BuildCrashEventPayload(fields, moduleName, text);
        const ULONG written = traceProvider.Write(kTraceBitCrashReport, 2, fields);
        if (written != ERROR_SUCCESS) {
            Log::Error(L"EventWrite of the crash report failed with error %lu", written);
        }
        return;
    }
    const uint32_t count =
        static_cast<uint32_t>((length + kReportPartChars - 1) / kReportPartChars);
    std::vector<char> part(kReportPartChars + 1, '\0');
    for (uint32_t index = 0; index < count; ++index) {
        const size_t offset = static_cast<size_t>(index) * kReportPartChars;
        const size_t size = std::min(kReportPartChars, length - offset);
        std::memcpy(part.data(), text + offset, size);
        part[size] = '\0';
        EVENT_DATA_DESCRIPTOR fields[4];
        BuildCrashPartPayload(fields, moduleName, index, count, part.data());
        const ULONG written = traceProvider.WriteEvent(kCrashReportPartEventId, 4, fields);
        if (written != ERROR_SUCCESS) {
            Log::Error(L"EventWrite of crash report part %lu of %lu failed with error %lu",
                       static_cast<unsigned long>(index) + 1, static_cast<unsigned long>(count),
                       written);
        }
    }
}

void WriteCrashDump(EXCEPTION_POINTERS* pointers) {
    Common::LoadedLibrary dbghelp(Common::LoadSystemLibrary(L"DbgHelp.dll"));
    if (!dbghelp.IsValid()) {
        Log::Error(L"LoadLibrary on dbghelp.dll failed with error %lu", ::GetLastError());
        return;
    }
    const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(dbghelp.Get(), "MiniDumpWriteDump")));
    if (writeDump == nullptr) {
        Log::Error(L"GetProcAddress on MiniDumpWriteDump failed with error %lu", ::GetLastError());
        return;
    }
    wchar_t folder[MAX_PATH] = {};
    const DWORD folderLength = ::GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength > MAX_PATH) {
        Log::Error(L"GetTempPath failed with result %lu", folderLength);
        return;
    }
    wchar_t name[MAX_PATH] = {};
    if (::GetTempFileNameW(folder, L"dmp", 0, name) == 0) {
        Log::Error(L"GetTempFileName failed with result %lu", 0ul);
        return;
    }
    // Deleted when closed: nothing stays on disk.
    Common::KernelHandle file(
        ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file.IsValid()) {
        Log::Error(L"CreateFile on %s failed with error %lu", name, ::GetLastError());
        return;
    }
    DumpExceptionInformation exception = {::GetCurrentThreadId(), pointers, TRUE};
    if (!writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(), kDumpType,
                   pointers != nullptr ? &exception : nullptr, nullptr, nullptr)) {
        Log::Error(L"MiniDumpWriteDump failed with error 0x%x", ::GetLastError());
        return;
    }
    const DWORD size = ::GetFileSize(file.Get(), nullptr);
    if (size == 0 || size == INVALID_FILE_SIZE) {
        Log::Error(L"GetFileSize failed with error %lu", ::GetLastError());
        return;
    }
    Common::KernelHandle mapping(
        ::CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, size, nullptr));
    Common::MappedView view(
        mapping.IsValid() ? ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, size) : nullptr);
    if (!view.IsValid()) {
        Log::Error(L"CreateFileMapping failed with error %lu", ::GetLastError());
        return;
    }
    std::vector<char> text(Base64EncodedLength(size) + 1, 0);
    size_t length = text.size() - 1;
    if (!Base64Encode(static_cast<const uint8_t*>(view.Get()), size, text.data(), length)) {
        Log::Error(L"Base64Encode failed");
        return;
    }
    text[length] = '\0';
    SendCrashReport(Log::moduleName, text.data(), length);
}
