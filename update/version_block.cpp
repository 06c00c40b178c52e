#include "update/version_block.h"

namespace {

constexpr size_t kHeaderBytes = 6;  // length, value length, type

size_t AlignedToFour(size_t offset) {
    return (offset + 3) & ~size_t{3};
}

// The 16-bit unit at `at`, little-endian, read byte by byte: any alignment.
uint16_t UnitAt(const uint8_t* bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::wstring Number(size_t value) {
    return std::to_wstring(value);
}

// The block at `at`, which must end by `limit` (the end of the block that
// holds it); `depth` counts the root as 1.
bool CheckBlock(const uint8_t* bytes, size_t at, size_t limit, int depth, std::wstring& why) {
    const std::wstring where = L"the block at byte " + Number(at);
    if (depth > kMaxVersionBlockDepth) {
        why = where + L" lies more than " + Number(kMaxVersionBlockDepth) + L" blocks deep";
        return false;
    }
    if (limit - at < kHeaderBytes) {
        why = where + L" is cut short by the block that holds it";
        return false;
    }
    const size_t length = UnitAt(bytes, at);
    const size_t valueLength = UnitAt(bytes, at + 2);
    const bool text = UnitAt(bytes, at + 4) == 1;
    if (length < kHeaderBytes || length > limit - at) {
        why = where + L" states " + Number(length) + L" bytes, but " +
              (length < kHeaderBytes ? L"a block holds at least " + Number(kHeaderBytes)
                                     : Number(limit - at) + L" are left in the block that holds it");
        return false;
    }
    const size_t end = at + length;
    // The key: 16-bit units up to a NUL, inside the block.
    size_t keyEnd = at + kHeaderBytes;
    while (keyEnd + 1 < end && UnitAt(bytes, keyEnd) != 0) {
        keyEnd += 2;
    }
    if (keyEnd + 1 >= end) {
        why = where + L" has a key that does not end inside it";
        return false;
    }
    keyEnd += 2;
    const size_t valueBytes = text ? valueLength * 2 : valueLength;
    size_t children = AlignedToFour(keyEnd);
    if (valueBytes > 0) {
        if (children > end || valueBytes > end - children) {
            why = where + L" has a value of " + Number(valueBytes) + L" bytes that reaches beyond it";
            return false;
        }
        children = AlignedToFour(children + valueBytes);
    }
    for (size_t child = children; child < end && end - child >= kHeaderBytes;) {
        if (!CheckBlock(bytes, child, end, depth + 1, why)) {
            return false;
        }
        child = AlignedToFour(child + UnitAt(bytes, child));
    }
    return true;
}

}  // namespace

bool CheckVersionBlock(const uint8_t* bytes, size_t size, std::wstring& why) {
    if (bytes == nullptr || size < kHeaderBytes) {
        why = L"it is shorter than a block's header";
        return false;
    }
    const size_t length = UnitAt(bytes, 0);
    if (length > size) {
        why = L"its length of " + Number(length) + L" bytes exceeds the resource's " +
              Number(size) + L" bytes";
        return false;
    }
    static const char kRootKey[] = "VS_VERSION_INFO";
    const size_t keyUnits = sizeof(kRootKey);  // with its NUL
    bool rootKey = length >= kHeaderBytes + keyUnits * 2;
    for (size_t i = 0; rootKey && i < keyUnits; ++i) {
        rootKey = UnitAt(bytes, kHeaderBytes + i * 2) == static_cast<unsigned char>(kRootKey[i]);
    }
    if (!rootKey) {
        why = L"its key is not VS_VERSION_INFO";
        return false;
    }
    return CheckBlock(bytes, 0, length, 1, why);
}
