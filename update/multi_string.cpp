#include "update/multi_string.h"

std::vector<std::wstring> SplitMultiString(const uint8_t* bytes, size_t size) {
    std::vector<std::wstring> strings;
    std::wstring current;
    for (size_t at = 0; at + 1 < size; at += 2) {
        const auto unit = static_cast<wchar_t>(bytes[at] | (bytes[at + 1] << 8));
        if (unit != L'\0') {
            current.push_back(unit);
        } else if (!current.empty()) {
            strings.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        strings.push_back(std::move(current));
    }
    return strings;
}
