#include "common/contains_no_case.h"

namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

bool ContainsNoCase(const std::wstring& text, const std::wstring& searched) {
    if (searched.size() > text.size()) {
        return false;
    }
    const size_t lastStart = text.size() - searched.size();
    for (size_t start = 0; start <= lastStart; ++start) {
        size_t i = 0;
        while (i < searched.size() && FoldAscii(text[start + i]) == FoldAscii(searched[i])) {
            ++i;
        }
        if (i == searched.size()) {
            return true;
        }
    }
    return false;
}
