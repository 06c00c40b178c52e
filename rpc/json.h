#pragma once

// RapidJSON in its UTF-16 form, so request and response texts are used as
// they travel, without transcoding.

#include <cstdlib>
#include <new>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

// The library's own heap allocator, except that exhaustion raises
// std::bad_alloc instead of handing the library a null block.
class JsonHeapAllocator {
  public:
    static const bool kNeedFree = true;

    void* Malloc(size_t size) {
        if (size == 0) {
            return nullptr;
        }
        void* block = std::malloc(size);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return block;
    }
    void* Realloc(void* original, size_t, size_t newSize) {
        if (newSize == 0) {
            std::free(original);
            return nullptr;
        }
        void* block = std::realloc(original, newSize);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return block;
    }
    static void Free(void* block) { std::free(block); }
};

using JsonEncoding = rapidjson::UTF16<wchar_t>;
using JsonDocument =
    rapidjson::GenericDocument<JsonEncoding, rapidjson::MemoryPoolAllocator<JsonHeapAllocator>,
                               JsonHeapAllocator>;
using JsonValue = JsonDocument::ValueType;
using JsonStringBuffer = rapidjson::GenericStringBuffer<JsonEncoding, JsonHeapAllocator>;
using JsonWriter =
    rapidjson::Writer<JsonStringBuffer, JsonEncoding, JsonEncoding, JsonHeapAllocator>;
