#include "common/trace_scope.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace {

using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;

int Inner(int value) {
    TraceScope trace;
    if (value < 0) {
        return -1;  // early return: EXIT still written
    }
    Log::Info(L"inner [%d]", value);
    return value;
}

unsigned Outer(int value) {
    TraceScope trace(L"value=%d", value);
    const unsigned result = static_cast<unsigned>(Inner(value) + 1);
    trace.SetExitText(L"%u", result);
    return result;
}

void Throws() {
    TraceScope trace;
    throw std::runtime_error("no return");
}

TEST(TraceScope, EnterAndExitNestAsTheCallsDo) {
    ScopedLogSettings settings(LogDestination::Console, 6);
    StdoutCapture capture;
    EXPECT_EQ(6u, Outer(5));
    EXPECT_EQ(0u, Outer(-3));
    EXPECT_EQ(
        "  ENTER : value=5\n"
        "  ENTER : \n"
        "   INFO : inner [5]\n"
        "   EXIT : \n"
        "   EXIT : 6\n"
        "  ENTER : value=-3\n"
        "  ENTER : \n"
        "   EXIT : \n"
        "   EXIT : 0\n",
        capture.Take());
}

TEST(TraceScope, AnExceptionLeavingTheOperationWritesNoExit) {
    ScopedLogSettings settings(LogDestination::Console, 6);
    StdoutCapture capture;
    try {
        Throws();
    } catch (const std::runtime_error&) {
        TraceScope handler;  // a scope opened while handling still writes both
    }
    EXPECT_EQ("  ENTER : \n  ENTER : \n   EXIT : \n", capture.Take());
}

}  // namespace
