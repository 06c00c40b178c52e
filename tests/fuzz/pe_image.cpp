// The PE image walk and the version block, over any file.
//
// Properties: the version resource found always lies inside the file; the
// version block is judged by its own length (bytes after it change nothing;
// cut shorter than it states, it is refused) and a sound one has the key
// VS_VERSION_INFO; the walk of the bytes as an image in memory reads no byte
// outside them (IsBadReadPtr here calls only the input readable) and its
// copy of the debug directory holds each entry's data inside the copy.
// AddressSanitizer and UndefinedBehaviorSanitizer watch every read: no
// field may be read out of bounds or at a misaligned address.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/pe_image.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"
#include "tests/fuzz/stand_ins/win32_fuzzing.h"
#include "update/version_block.h"

namespace {

void CheckVersionBlockOf(const std::vector<uint8_t>& bytes) {
    std::wstring why;
    if (!CheckVersionBlock(bytes.data(), bytes.size(), why)) {
        FUZZ_CHECK(!why.empty(), "refused without a reason");
        return;
    }
    const size_t length = bytes[0] | (bytes[1] << 8);
    FUZZ_CHECK(length <= bytes.size(), "a block of %zu bytes accepted in %zu", length,
               bytes.size());
    static const char kKey[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof kKey; ++i) {
        FUZZ_CHECK(bytes[6 + 2 * i] == static_cast<uint8_t>(kKey[i]) && bytes[7 + 2 * i] == 0,
                   "accepted with another key");
    }
    // Judged by its own length: exactly its bytes, or more after them.
    const std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + length);
    FUZZ_CHECK(CheckVersionBlock(exact.data(), exact.size(), why), "its own bytes: %s",
               fuzz::Shown(why).c_str());
    std::vector<uint8_t> longer = exact;
    longer.insert(longer.end(), 64, 0xEE);
    FUZZ_CHECK(CheckVersionBlock(longer.data(), longer.size(), why), "with bytes after it: %s",
               fuzz::Shown(why).c_str());
    if (length > 0) {
        const std::vector<uint8_t> cut(exact.begin(), exact.end() - 1);
        FUZZ_CHECK(!CheckVersionBlock(cut.data(), cut.size(), why), "accepted cut short");
    }
}

void CheckImageWalk(const std::vector<uint8_t>& image) {
    SetReadableForFuzzing(image.data(), image.size());
    WORD machine = 0;
    const bool headers = ReadImageMachine(image.data(), machine);
    size_t needed = 0;
    const DWORD sized = CopyDebugDirectory(image.data(), nullptr, needed);
    FUZZ_CHECK(sized == ERROR_SUCCESS || sized == ERROR_INSUFFICIENT_BUFFER ||
                   sized == ERROR_INVALID_ADDRESS,
               "result %u", static_cast<unsigned>(sized));
    FUZZ_CHECK(headers || sized == ERROR_INVALID_ADDRESS, "a debug directory without headers");
    if (sized == ERROR_SUCCESS) {
        FUZZ_CHECK(needed == 0, "no directory, yet %zu bytes", needed);
    }
    if (sized == ERROR_INSUFFICIENT_BUFFER) {
        std::vector<uint8_t> copy(needed);
        size_t size = copy.size();
        FUZZ_CHECK(CopyDebugDirectory(image.data(), copy.data(), size) == ERROR_SUCCESS &&
                       size == needed,
                   "the copy of %zu bytes failed", needed);
        FUZZ_CHECK(needed >= sizeof(IMAGE_DEBUG_DIRECTORY), "a copy of %zu bytes", needed);
        // The entries first, each one's data after all of them, inside the copy.
        size_t entries = 0;
        size_t data = 0;
        for (size_t at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= needed - data;
             at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
            IMAGE_DEBUG_DIRECTORY entry;
            std::memcpy(&entry, copy.data() + at, sizeof(entry));
            FUZZ_CHECK(entry.AddressOfRawData == 0, "an address left in the copy");
            const size_t from = at + entry.PointerToRawData;
            FUZZ_CHECK(from >= at && from <= needed && entry.SizeOfData <= needed - from,
                       "entry %zu's data outside the copy", entries);
            data += entry.SizeOfData;
            ++entries;
        }
        FUZZ_CHECK(entries * sizeof(IMAGE_DEBUG_DIRECTORY) + data == needed,
                   "%zu entries and %zu bytes of data in a copy of %zu", entries, data, needed);
        size_t tooSmall = needed - 1;
        FUZZ_CHECK(CopyDebugDirectory(image.data(), copy.data(), tooSmall) ==
                           ERROR_INSUFFICIENT_BUFFER &&
                       tooSmall == needed,
                   "a buffer one byte short");
    }
    SetReadableForFuzzing(nullptr, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Copies of exactly the input's size: a read past the end is a finding.
    const std::vector<uint8_t> file(data, data + size);
    size_t offset = 0;
    size_t length = 0;
    if (FindVersionResource(file.data(), file.size(), offset, length)) {
        FUZZ_CHECK(offset <= size && length <= size - offset,
                   "a version resource at %zu of %zu bytes in a file of %zu", offset, length, size);
        CheckVersionBlockOf(std::vector<uint8_t>(file.begin() + offset,
                                                 file.begin() + offset + length));
    }
    // The block's own rules, also where no image holds it.
    CheckVersionBlockOf(file);
    // The seeds are linked with equal file and section alignment, so that
    // their bytes read as the image in memory reads.
    CheckImageWalk(file);
    return 0;
}
