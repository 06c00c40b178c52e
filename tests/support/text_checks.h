#pragma once

// What tests ask of a captured log or any text: whether a piece is in it,
// how often, and the bytes of a file.

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// Whether `piece` is in `text`; either way the result quotes both, so that
// EXPECT_TRUE and EXPECT_FALSE print what was searched and where.
template <typename Char>
::testing::AssertionResult Has(const std::basic_string<Char>& text,
                               const std::basic_string<Char>& piece) {
    const bool found = text.find(piece) != std::basic_string<Char>::npos;
    ::testing::AssertionResult result =
        found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    return result << "\"" << piece << "\" is " << (found ? "" : "not ") << "in:\n" << text;
}
inline ::testing::AssertionResult Has(const std::string& text, const char* piece) {
    return Has(text, std::string(piece));
}

// Occurrences of `piece` in `text`, overlapping ones included.
template <typename Char>
size_t Count(const std::basic_string<Char>& text, const std::basic_string<Char>& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::basic_string<Char>::npos;
         at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}
inline size_t Count(const std::string& text, const char* piece) {
    return Count(text, std::string(piece));
}
inline size_t Count(const std::wstring& text, const wchar_t* piece) {
    return Count(text, std::wstring(piece));
}

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string FileBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
