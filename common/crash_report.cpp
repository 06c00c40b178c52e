#include "common/crash_report.h"

#include <psapi.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "common/system_library.h"
#include "common/trace_payload.h"
#include "common/trace_provider.h"
#include "common/unique_handle.h"
#include "common/wide_format.h"

volatile LONG crashDumped = 0;

namespace {

constexpr DWORD kDumpType = 0x1100;  // MiniDumpWithProcessThreadData | MiniDumpWithThreadInfo
constexpr size_t kEntrySize = sizeof(IMAGE_DEBUG_DIRECTORY);
static_assert(kEntrySize == 28, "a debug directory entry is 28 bytes");

size_t EncodedLength(size_t count) {
    return (count + 2) / 3 * 4;
}

// The NT headers at the module's DOS header's offset, or null.
const IMAGE_NT_HEADERS* NtHeadersOf(const void* loadAddress) {
    if (loadAddress == nullptr || ::IsBadReadPtr(loadAddress, 64)) {
        return nullptr;
    }
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(loadAddress);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return nullptr;
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        static_cast<const uint8_t*>(loadAddress) + static_cast<uint32_t>(dos->e_lfanew));
    return IsValidNtHeaders(nt) ? nt : nullptr;
}

// Grows both working buffers of the module list together.
struct ModuleBuffers {
    std::vector<uint8_t> copy = std::vector<uint8_t>(256, 0);
    std::vector<char> text = std::vector<char>(EncodedLength(256) + 1, 0);

    void Grow(size_t needed) {
        copy.assign(needed, 0);
        text.assign(EncodedLength(needed) + 1, 0);
    }
};

struct DbgHelpTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};

struct MappedViewTraits {
    using Handle = const void*;
    static Handle Invalid() noexcept { return nullptr; }
    static bool IsValid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { ::UnmapViewOfFile(h); }
};

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, DWORD, void*, void*, void*);

// MINIDUMP_EXCEPTION_INFORMATION, laid out as DbgHelp reads it.
#pragma pack(push, 4)
struct DumpExceptionInformation {
    DWORD threadId;
    EXCEPTION_POINTERS* exceptionPointers;
    BOOL clientPointers;
};
#pragma pack(pop)

// An abort's exception context comes from a C++ throw of the integer 0,
// seen by a vectored handler of the throwing thread (gcc has no __except;
// this works the same with Visual C++).
volatile DWORD abortDumpThread = 0;

LONG WINAPI DumpThrownException(EXCEPTION_POINTERS* pointers) {
    if (abortDumpThread == ::GetCurrentThreadId()) {
        abortDumpThread = 0;
        WriteCrashDump(pointers);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool Base64Encode(const uint8_t* input, size_t count, char* output, size_t& length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t encoded = EncodedLength(count);
    if (output == nullptr || length < encoded) {
        length = encoded;
        return false;
    }
    size_t out = 0;
    for (size_t i = 0; i < count; i += 3) {
        const uint32_t b0 = input[i];
        const uint32_t b1 = i + 1 < count ? input[i + 1] : 0;
        const uint32_t b2 = i + 2 < count ? input[i + 2] : 0;
        const uint32_t group = (b0 << 16) | (b1 << 8) | b2;
        output[out++] = kAlphabet[(group >> 18) & 0x3F];
        output[out++] = kAlphabet[(group >> 12) & 0x3F];
        output[out++] = i + 1 < count ? kAlphabet[(group >> 6) & 0x3F] : '=';
        output[out++] = i + 2 < count ? kAlphabet[group & 0x3F] : '=';
    }
    length = encoded;
    return true;
}

bool IsValidNtHeaders(const IMAGE_NT_HEADERS* headers) {
    if (headers == nullptr || ::IsBadReadPtr(headers, sizeof(IMAGE_NT_HEADERS64)) ||
        headers->Signature != IMAGE_NT_SIGNATURE ||
        ::IsBadReadPtr(&headers->FileHeader, sizeof(IMAGE_FILE_HEADER))) {
        return false;
    }
    const auto* optional = reinterpret_cast<const uint8_t*>(&headers->OptionalHeader);
    const size_t optionalSize = headers->FileHeader.SizeOfOptionalHeader;
    if (::IsBadReadPtr(optional, optionalSize) ||
        ::IsBadReadPtr(optional + optionalSize,
                       static_cast<size_t>(headers->FileHeader.NumberOfSections) *
                           sizeof(IMAGE_SECTION_HEADER))) {
        return false;
    }
    const WORD magic = headers->OptionalHeader.Magic;
    return magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC || magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
}

DWORD CopyDebugDirectory(const void* loadAddress, uint8_t* buffer, size_t& size) {
    const IMAGE_NT_HEADERS* nt = NtHeadersOf(loadAddress);
    if (nt == nullptr) {
        return ERROR_INVALID_ADDRESS;
    }
    IMAGE_DATA_DIRECTORY directory;
    if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        directory = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)
                        ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    } else {
        directory = reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)
                        ->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    }
    if (directory.VirtualAddress == 0 && directory.Size == 0) {
        size = 0;
        return ERROR_SUCCESS;
    }
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return ERROR_INVALID_ADDRESS;
    }
    const auto* base = static_cast<const uint8_t*>(loadAddress);
    const auto* entries =
        reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(base + directory.VirtualAddress);
    if (directory.Size < kEntrySize || ::IsBadReadPtr(entries, directory.Size)) {
        return ERROR_INVALID_ADDRESS;
    }
    const size_t count = directory.Size / kEntrySize;

    // An entry's data counts only when it is mapped and readable.
    auto dataSize = [&](const IMAGE_DEBUG_DIRECTORY& entry) -> size_t {
        if (entry.AddressOfRawData == 0 || entry.SizeOfData == 0 ||
            ::IsBadReadPtr(base + entry.AddressOfRawData, entry.SizeOfData)) {
            return 0;
        }
        return entry.SizeOfData;
    };
    size_t needed = 0;
    for (size_t i = 0; i < count; ++i) {
        needed += kEntrySize + dataSize(entries[i]);
    }
    if (buffer == nullptr || size < needed) {
        size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }

    size_t dataAt = count * kEntrySize;
    for (size_t i = 0; i < count; ++i) {
        IMAGE_DEBUG_DIRECTORY copy = entries[i];
        const size_t bytes = dataSize(entries[i]);
        if (bytes > 0) {
            std::memcpy(buffer + dataAt, base + entries[i].AddressOfRawData, bytes);
        }
        copy.SizeOfData = static_cast<DWORD>(bytes);
        copy.AddressOfRawData = 0;
        copy.PointerToRawData = static_cast<DWORD>(dataAt - i * kEntrySize);
        std::memcpy(buffer + i * kEntrySize, &copy, kEntrySize);
        dataAt += bytes;
    }
    size = needed;
    return ERROR_SUCCESS;
}

void BuildModuleEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[7], const ModuleEventFields& module) {
    SetNarrowTextField(fields[0], module.path);
    SetNarrowTextField(fields[1], module.debugDirectory);
    EventDataDescCreate(&fields[2], &module.loadAddress, sizeof(module.loadAddress));
    EventDataDescCreate(&fields[3], &module.imageSize, sizeof(module.imageSize));
    SetWideTextField(fields[4], module.moduleName);
    SetNarrowTextField(fields[5], module.fileVersion);
    EventDataDescCreate(&fields[6], &module.machine, sizeof(module.machine));
}

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
    const uint32_t count = static_cast<uint32_t>((length + kReportPartChars - 1) / kReportPartChars);
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
                       static_cast<unsigned long>(index + 1), static_cast<unsigned long>(count),
                       written);
        }
    }
}

void WriteModuleList() {
    ModuleBuffers buffers;
    HMODULE modules[1024];
    DWORD bytes = 0;
    const HANDLE process = ::GetCurrentProcess();
    if (!::K32EnumProcessModules(process, modules, sizeof(modules), &bytes)) {
        return;
    }
    const size_t count = std::min<size_t>(bytes / sizeof(HMODULE), 1024);
    for (size_t i = 0; i < count; ++i) {
        char path[1040] = {};
        MODULEINFO info = {};
        if (::K32GetModuleFileNameExA(process, modules[i], path, sizeof(path)) == 0 ||
            !::K32GetModuleInformation(process, modules[i], &info, sizeof(info))) {
            continue;
        }

        char version[23] = {};
        const DWORD versionSize = ::GetFileVersionInfoSizeA(path, nullptr);
        if (versionSize != 0) {
            std::vector<uint8_t> block(versionSize, 0);
            VS_FIXEDFILEINFO* fixed = nullptr;
            UINT fixedLength = 0;
            if (::GetFileVersionInfoA(path, 0, versionSize, block.data()) &&
                ::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed),
                                 &fixedLength) &&
                fixedLength != 0) {
                std::snprintf(version, sizeof(version), "%u.%u.%u.%u",
                              HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
            }
        }

        size_t copySize = buffers.copy.size();
        DWORD copied = CopyDebugDirectory(info.lpBaseOfDll, buffers.copy.data(), copySize);
        if (copied == ERROR_INSUFFICIENT_BUFFER) {
            buffers.Grow(copySize);
            copied = CopyDebugDirectory(info.lpBaseOfDll, buffers.copy.data(), copySize);
        }

        const IMAGE_NT_HEADERS* nt = NtHeadersOf(info.lpBaseOfDll);
        ModuleEventFields module;
        module.path = path;
        module.loadAddress = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
        module.imageSize = info.SizeOfImage;
        module.moduleName = Log::moduleName;
        module.fileVersion = version;
        module.machine =
            nt != nullptr ? nt->FileHeader.Machine : static_cast<USHORT>(ERROR_INVALID_ADDRESS);
        module.debugDirectory = "";
        if (copied == ERROR_SUCCESS) {
            size_t textLength = buffers.text.size() - 1;
            if (Base64Encode(buffers.copy.data(), copySize, buffers.text.data(), textLength)) {
                buffers.text[textLength] = '\0';
                module.debugDirectory = buffers.text.data();
            }
        }
        if (traceProvider.IsEnabled(kTraceBitModuleList)) {
            EVENT_DATA_DESCRIPTOR fields[7];
            BuildModuleEventPayload(fields, module);
            traceProvider.Write(kTraceBitModuleList, 7, fields);
        }
    }
}

void WriteCrashDump(EXCEPTION_POINTERS* pointers) {
    Common::UniqueHandle<DbgHelpTraits> dbghelp(Common::LoadSystemLibrary(L"DbgHelp.dll"));
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
    Common::UniqueHandle<MappedViewTraits> view(
        mapping.IsValid() ? ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, size) : nullptr);
    if (!view.IsValid()) {
        Log::Error(L"CreateFileMapping failed with error %lu", ::GetLastError());
        return;
    }
    std::vector<char> text(EncodedLength(size) + 1, 0);
    size_t length = text.size() - 1;
    if (!Base64Encode(static_cast<const uint8_t*>(view.Get()), size, text.data(), length)) {
        Log::Error(L"Base64Encode failed");
        return;
    }
    text[length] = '\0';
    SendCrashReport(Log::moduleName, text.data(), length);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    const unsigned long code = pointers != nullptr ? pointers->ExceptionRecord->ExceptionCode : 0;
    Log::Error(L"An unhandled exception was thrown with error code %lu", code);
    WriteCrashDump(pointers);
    Log::Info(L"Finished dumping fault information for exception %lu", code);
    crashDumped = 1;
    std::raise(SIGABRT);
    return EXCEPTION_CONTINUE_SEARCH;
}

void OnAbortSignal(int) {
    Log::Error(L"The process terminated abnormally");
    if (crashDumped != 0) {
        return;
    }
    void* handler = ::AddVectoredExceptionHandler(1, &DumpThrownException);
    abortDumpThread = ::GetCurrentThreadId();
    try {
        throw 0;
    } catch (int) {
        Log::Info(L"Finished dumping fault information for abnormal termination");
    }
    abortDumpThread = 0;
    if (handler != nullptr) {
        ::RemoveVectoredExceptionHandler(handler);
    }
}

void ArmCrashHandlers() {
    std::signal(SIGABRT, &OnAbortSignal);
    ::SetUnhandledExceptionFilter(&OnUnhandledException);
}
