#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A version resource's bytes (VS_VERSIONINFO, as a file carries it) are
// judged before the system's version functions walk them: those follow the
// lengths the bytes state, and a download's bytes are anybody's.
//
// Sound means: the root block's own length fits `size` (the resource's
// length), its key is VS_VERSION_INFO, and every block below it
// (StringFileInfo, VarFileInfo, their tables and strings) lies inside the
// block that holds it, with its key ended and its value inside it; blocks
// nest at most kMaxVersionBlockDepth deep. Each block is a length, a value
// length (characters for text, bytes otherwise), a type, a key ended by a
// NUL, the value and the children, each of the last three starting at a
// multiple of four bytes from the root.
inline constexpr int kMaxVersionBlockDepth = 8;

// True when the version resource at `bytes` is sound; otherwise false and
// `why` says what is wrong in words ("its length of 900 bytes exceeds the
// resource's 800 bytes").
[[nodiscard]] bool CheckVersionBlock(const uint8_t* bytes, size_t size, std::wstring& why);
