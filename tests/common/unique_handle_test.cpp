#include "common/unique_handle.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Traits that record every close, to show each handle is closed exactly once.
std::vector<int> closed;
struct CountingTraits {
    using Handle = int;
    static Handle Invalid() noexcept { return -1; }
    static bool IsValid(Handle h) noexcept { return h >= 0; }
    static void Close(Handle h) noexcept { closed.push_back(h); }
};
using CountingHandle = Common::UniqueHandle<CountingTraits>;

TEST(UniqueHandle, ClosesEachHandleExactlyOnce) {
    closed.clear();
    {
        CountingHandle a(1);
        CountingHandle b(std::move(a));  // a gives up 1
        EXPECT_FALSE(a.IsValid());
        CountingHandle c(2);
        c = std::move(b);  // closes 2, takes 1
        EXPECT_EQ(std::vector<int>{2}, closed);
        c = std::move(c);  // self-move keeps the handle
        EXPECT_EQ(1, c.Get());
        c.Reset(3);  // closes 1
        CountingHandle d(4);
        EXPECT_EQ(4, d.Release());  // released: never closed
        CountingHandle e;
        *e.Receive() = 5;  // filled by an out parameter
    }
    EXPECT_EQ((std::vector<int>{2, 1, 5, 3}), closed);
}

TEST(UniqueHandle, OwnsRealKernelHandles) {
    Common::KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    const HANDLE raw = event.Get();
    event.Reset();
    EXPECT_FALSE(event.IsValid());
    // The handle is closed: waiting on it now fails.
    EXPECT_EQ(WAIT_FAILED, ::WaitForSingleObject(raw, 0));

    Common::KernelHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.IsValid());
}

TEST(UniqueHandle, ClosingKeepsTheCallersLastError) {
    // Closing a handle the system already closed sets an error of its own.
    Common::KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    ASSERT_TRUE(::CloseHandle(event.Get()));
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    event.Reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
}

}  // namespace
