#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// Leaves new elements uninitialised: the read buffer is resized to a whole
// chunk before every read and only the bytes read are ever looked at, so
// zero-filling half a megabyte per network read would be wasted work.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using ReadBuffer = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;
