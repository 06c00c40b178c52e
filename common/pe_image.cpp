#include "common/pe_image.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kEntrySize = sizeof(IMAGE_DEBUG_DIRECTORY);
static_assert(kEntrySize == 28, "a debug directory entry is 28 bytes");

// A value of type T at `at`, read by copy: an image places its structures
// where its own fields say, at any alignment.
template <typename T>
T ReadAt(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// Where the optional header starts, after the signature and the file header.
constexpr size_t kOptionalHeaderAt = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);

// The NT headers of the image at `loadAddress`, or null when they are not
// readable or not valid.
const uint8_t* NtHeadersAt(const void* loadAddress) {
    if (loadAddress == nullptr || ::IsBadReadPtr(loadAddress, sizeof(IMAGE_DOS_HEADER))) {
        return nullptr;
    }
    const auto* base = static_cast<const uint8_t*>(loadAddress);
    const auto dos = ReadAt<IMAGE_DOS_HEADER>(base);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE) {
        return nullptr;
    }
    const uint8_t* nt = base + static_cast<uint32_t>(dos.e_lfanew);
    return IsValidNtHeaders(nt) ? nt : nullptr;
}

}  // namespace

bool ReadImageMachine(const void* loadAddress, WORD& machine) {
    const uint8_t* nt = NtHeadersAt(loadAddress);
    if (nt == nullptr) {
        return false;
    }
    machine = ReadAt<IMAGE_FILE_HEADER>(nt + sizeof(DWORD)).Machine;
    return true;
}

bool IsValidNtHeaders(const void* headers) {
    if (headers == nullptr || ::IsBadReadPtr(headers, sizeof(IMAGE_NT_HEADERS64))) {
        return false;
    }
    const auto* nt = static_cast<const uint8_t*>(headers);
    if (ReadAt<DWORD>(nt) != IMAGE_NT_SIGNATURE) {
        return false;
    }
    const auto fileHeader = ReadAt<IMAGE_FILE_HEADER>(nt + sizeof(DWORD));
    const uint8_t* optional = nt + kOptionalHeaderAt;
    const size_t optionalSize = fileHeader.SizeOfOptionalHeader;
    if (::IsBadReadPtr(optional, optionalSize) ||
        ::IsBadReadPtr(optional + optionalSize,
                       static_cast<size_t>(fileHeader.NumberOfSections) *
                           sizeof(IMAGE_SECTION_HEADER))) {
        return false;
    }
    const WORD magic = ReadAt<WORD>(optional);
    return magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC || magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
}

DWORD CopyDebugDirectory(const void* loadAddress, uint8_t* buffer, size_t& size) {
    const uint8_t* nt = NtHeadersAt(loadAddress);
    if (nt == nullptr) {
        return ERROR_INVALID_ADDRESS;
    }
    // Both kinds of optional header lie within the readable NT headers.
    const uint8_t* optional = nt + kOptionalHeaderAt;
    const size_t directories = ReadAt<WORD>(optional) == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                                   ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                   : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    const auto directory = ReadAt<IMAGE_DATA_DIRECTORY>(
        optional + directories + IMAGE_DIRECTORY_ENTRY_DEBUG * sizeof(IMAGE_DATA_DIRECTORY));
    if (directory.VirtualAddress == 0 && directory.Size == 0) {
        size = 0;
        return ERROR_SUCCESS;
    }
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return ERROR_INVALID_ADDRESS;
    }
    const auto* base = static_cast<const uint8_t*>(loadAddress);
    const uint8_t* entries = base + directory.VirtualAddress;
    if (directory.Size < kEntrySize || ::IsBadReadPtr(entries, directory.Size)) {
        return ERROR_INVALID_ADDRESS;
    }
    const size_t count = directory.Size / kEntrySize;
    const auto entry = [entries](size_t i) {
        return ReadAt<IMAGE_DEBUG_DIRECTORY>(entries + i * kEntrySize);
    };

    // An entry's data counts only when it is mapped and readable.
    auto dataSize = [&](const IMAGE_DEBUG_DIRECTORY& at) -> size_t {
        if (at.AddressOfRawData == 0 || at.SizeOfData == 0 ||
            ::IsBadReadPtr(base + at.AddressOfRawData, at.SizeOfData)) {
            return 0;
        }
        return at.SizeOfData;
    };
    size_t needed = 0;
    for (size_t i = 0; i < count; ++i) {
        needed += kEntrySize + dataSize(entry(i));
    }
    if (buffer == nullptr || size < needed) {
        size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }

    size_t dataAt = count * kEntrySize;
    for (size_t i = 0; i < count; ++i) {
        IMAGE_DEBUG_DIRECTORY copy = entry(i);
        const size_t bytes = dataSize(copy);
        if (bytes > 0) {
            std::memcpy(buffer + dataAt, base + copy.AddressOfRawData, bytes);
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

namespace {

// The file offset of the relative virtual address `rva`, through the section
// that holds it; false when none does.
bool FileOffsetOf(const IMAGE_SECTION_HEADER* sections, WORD count, DWORD rva, size_t& offset) {
    for (WORD i = 0; i < count; ++i) {
        const IMAGE_SECTION_HEADER& section = sections[i];
        const DWORD extent = section.Misc.VirtualSize > section.SizeOfRawData
                                 ? section.Misc.VirtualSize
                                 : section.SizeOfRawData;
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent) {
            const DWORD into = rva - section.VirtualAddress;
            if (into >= section.SizeOfRawData) {
                return false;  // not backed by the file
            }
            offset = static_cast<size_t>(section.PointerToRawData) + into;
            return true;
        }
    }
    return false;
}

// The first entry of the resource directory at `directory` (an offset in
// the resource section's bytes), or, with `id` not 0, the entry of that id.
bool DirectoryEntry(const uint8_t* resources, size_t size, size_t directory, WORD id,
                    IMAGE_RESOURCE_DIRECTORY_ENTRY& found) {
    if (directory > size || size - directory < sizeof(IMAGE_RESOURCE_DIRECTORY)) {
        return false;
    }
    IMAGE_RESOURCE_DIRECTORY header;
    std::memcpy(&header, resources + directory, sizeof(header));
    const size_t count =
        static_cast<size_t>(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
    const size_t first = directory + sizeof(IMAGE_RESOURCE_DIRECTORY);
    if (count > (size - first) / sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY)) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
        std::memcpy(&entry, resources + first + i * sizeof(entry), sizeof(entry));
        if (id == 0 || (!entry.NameIsString && entry.Id == id)) {
            found = entry;
            return true;
        }
    }
    return false;
}

}  // namespace

bool FindVersionResource(const uint8_t* file, size_t size, size_t& offset, size_t& length) {
    IMAGE_DOS_HEADER dos;
    if (size < sizeof(dos)) {
        return false;
    }
    std::memcpy(&dos, file, sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        static_cast<size_t>(dos.e_lfanew) > size ||
        size - static_cast<size_t>(dos.e_lfanew) < sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)) {
        return false;
    }
    const size_t nt = static_cast<size_t>(dos.e_lfanew);
    DWORD signature = 0;
    std::memcpy(&signature, file + nt, sizeof(signature));
    IMAGE_FILE_HEADER fileHeader;
    std::memcpy(&fileHeader, file + nt + sizeof(DWORD), sizeof(fileHeader));
    const size_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const size_t sectionsAt = optional + fileHeader.SizeOfOptionalHeader;
    if (signature != IMAGE_NT_SIGNATURE || sectionsAt > size ||
        fileHeader.NumberOfSections > (size - sectionsAt) / sizeof(IMAGE_SECTION_HEADER)) {
        return false;
    }
    // The resource directory's place, from the optional header of either kind.
    WORD magic = 0;
    if (fileHeader.SizeOfOptionalHeader < sizeof(magic)) {
        return false;
    }
    std::memcpy(&magic, file + optional, sizeof(magic));
    IMAGE_DATA_DIRECTORY resourceDirectory = {};
    size_t directories = 0;
    DWORD directoryCount = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
        fileHeader.SizeOfOptionalHeader >= offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        std::memcpy(&directoryCount,
                    file + optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes),
                    sizeof(directoryCount));
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
               fileHeader.SizeOfOptionalHeader >=
                   offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        std::memcpy(&directoryCount,
                    file + optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes),
                    sizeof(directoryCount));
    } else {
        return false;
    }
    const size_t resourceAt =
        directories + IMAGE_DIRECTORY_ENTRY_RESOURCE * sizeof(IMAGE_DATA_DIRECTORY);
    if (directoryCount <= IMAGE_DIRECTORY_ENTRY_RESOURCE ||
        resourceAt + sizeof(IMAGE_DATA_DIRECTORY) > sectionsAt) {
        return false;
    }
    std::memcpy(&resourceDirectory, file + resourceAt, sizeof(resourceDirectory));
    std::vector<IMAGE_SECTION_HEADER> sections(fileHeader.NumberOfSections);
    if (!sections.empty()) {
        std::memcpy(sections.data(), file + sectionsAt,
                    sections.size() * sizeof(IMAGE_SECTION_HEADER));
    }
    size_t base = 0;
    if (resourceDirectory.VirtualAddress == 0 || resourceDirectory.Size == 0 ||
        !FileOffsetOf(sections.data(), fileHeader.NumberOfSections,
                      resourceDirectory.VirtualAddress, base) ||
        base > size) {
        return false;
    }
    const uint8_t* resources = file + base;
    const size_t available = std::min<size_t>(size - base, resourceDirectory.Size);
    // Type RT_VERSION, then the first name, then the first language.
    IMAGE_RESOURCE_DIRECTORY_ENTRY entry;
    if (!DirectoryEntry(resources, available, 0, 16, entry) || !entry.DataIsDirectory ||
        !DirectoryEntry(resources, available, entry.OffsetToDirectory, 0, entry) ||
        !entry.DataIsDirectory ||
        !DirectoryEntry(resources, available, entry.OffsetToDirectory, 0, entry) ||
        entry.DataIsDirectory || entry.OffsetToData > available ||
        available - entry.OffsetToData < sizeof(IMAGE_RESOURCE_DATA_ENTRY)) {
        return false;
    }
    IMAGE_RESOURCE_DATA_ENTRY data;
    std::memcpy(&data, resources + entry.OffsetToData, sizeof(data));
    size_t at = 0;
    if (!FileOffsetOf(sections.data(), fileHeader.NumberOfSections, data.OffsetToData, at) ||
        at > size || size - at < data.Size) {
        return false;
    }
    offset = at;
    length = data.Size;
    return true;
}
