#include "common/pe_image.h"

#include <cstring>

namespace {

constexpr size_t kEntrySize = sizeof(IMAGE_DEBUG_DIRECTORY);
static_assert(kEntrySize == 28, "a debug directory entry is 28 bytes");

}  // namespace

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
