#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Reading the headers of a module mapped in this process, defensively: a
// crash report must not crash on a damaged image. Every field is read by
// copy, wherever the image places its structures.

// The NT headers at `headers` (any alignment): they, their optional header
// and section table are readable, the signature is PE and the optional
// header is of the 32- or 64-bit kind.
[[nodiscard]] bool IsValidNtHeaders(const void* headers);

// Copies a module's debug directory entries, each followed (after all the
// entries) by its data, with address of raw data 0 and pointer to raw data
// rebased to the copy. An entry whose data is not mapped in the image
// (address of raw data 0) or not readable contributes its entry with a data
// size of 0. Returns 0, ERROR_INSUFFICIENT_BUFFER (size = bytes needed) or
// ERROR_INVALID_ADDRESS (headers or directory not readable or not valid).
[[nodiscard]] DWORD CopyDebugDirectory(const void* loadAddress, uint8_t* buffer, size_t& size);

// The machine field of the module's file header; false when its headers are
// not readable or not valid.
[[nodiscard]] bool ReadImageMachine(const void* loadAddress, WORD& machine);

// Finds the version resource (the first language of the first name of type
// RT_VERSION) in the bytes of an executable file (as on disk, not mapped as
// an image): `offset` and `length` receive where its data lies in `file`.
// False when the file is no PE image, has no such resource, or any structure
// on the way lies outside the bytes given.
[[nodiscard]] bool FindVersionResource(const uint8_t* file, size_t size, size_t& offset,
                                       size_t& length);
