#include "common/module_list.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/base64.h"
#include "common/log.h"
#include "common/pe_image.h"
#include "common/trace_payload.h"
#include "common/trace_provider.h"

namespace {

// Grows both working buffers of the module list together.
struct ModuleBuffers {
    std::vector<uint8_t> copy = std::vector<uint8_t>(256, 0);
    std::vector<char> text = std::vector<char>(Base64EncodedLength(256) + 1, 0);

    void Grow(size_t needed) {
        copy.assign(needed, 0);
        text.assign(Base64EncodedLength(needed) + 1, 0);
    }
};

}  // namespace

void SetLoadAddress(ModuleEventFields& module, const void* base) {
    module.loadAddress = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(base));
    module.loadAddressLow = static_cast<uint32_t>(module.loadAddress);
}

void BuildModuleEventPayload(EVENT_DATA_DESCRIPTOR (&fields)[kModuleEventFieldCount],
                             const ModuleEventFields& module) {
    SetNarrowTextField(fields[0], module.path);
    SetNarrowTextField(fields[1], module.debugDirectory);
    EventDataDescCreate(&fields[2], &module.loadAddressLow, sizeof(module.loadAddressLow));
    EventDataDescCreate(&fields[3], &module.imageSize, sizeof(module.imageSize));
    SetWideTextField(fields[4], module.moduleName);
    SetNarrowTextField(fields[5], module.fileVersion);
    EventDataDescCreate(&fields[6], &module.machine, sizeof(module.machine));
    EventDataDescCreate(&fields[7], &module.loadAddress, sizeof(module.loadAddress));
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

        WORD machine = 0;
        const bool headersRead = ReadImageMachine(info.lpBaseOfDll, machine);
        ModuleEventFields module;
        module.path = path;
        SetLoadAddress(module, info.lpBaseOfDll);
        module.imageSize = static_cast<uint32_t>(info.SizeOfImage);
        module.moduleName = Log::moduleName;
        module.fileVersion = version;
        module.machine = headersRead ? machine : static_cast<USHORT>(ERROR_INVALID_ADDRESS);
        module.debugDirectory = "";
        if (copied == ERROR_SUCCESS) {
            size_t textLength = buffers.text.size() - 1;
            if (Base64Encode(buffers.copy.data(), copySize, buffers.text.data(), textLength)) {
                buffers.text[textLength] = '\0';
                module.debugDirectory = buffers.text.data();
            }
        }
        if (traceProvider.IsEnabled(kTraceBitModuleList)) {
            EVENT_DATA_DESCRIPTOR fields[kModuleEventFieldCount];
            BuildModuleEventPayload(fields, module);
            traceProvider.Write(kTraceBitModuleList, kModuleEventFieldCount, fields);
        }
    }
}
