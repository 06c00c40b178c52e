#pragma once

#include <cstddef>

// The bytes IsBadReadPtr calls readable on this thread: the image under
// test. Anything outside them is "not readable", as an unmapped page is.
void SetReadableForFuzzing(const void* start, size_t size);
