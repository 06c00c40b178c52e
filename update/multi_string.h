#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The strings of a REG_MULTI_SZ value's bytes (UTF-16, little-endian, each
// string ended by a NUL, the list by an empty one), empty ones left out. The
// value is anybody's who could write the key: the last string need not be
// ended, a list need not be, and an odd last byte is no character.
[[nodiscard]] std::vector<std::wstring> SplitMultiString(const uint8_t* bytes, size_t size);
