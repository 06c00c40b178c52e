#include "common/crash_report.h"

#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/base64.h"
#include "common/pe_image.h"
#include "tests/support/base64_decode.h"
#include "tests/support/cache_folder.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::EnableTraceSession;
using testsupport::EventRecorder;
using testsupport::ScopedLogSettings;
using testsupport::StdoutCapture;
using testsupport::ChildRun;
using testsupport::Count;

std::string Encode(const std::string& input) {
    size_t length = 0;
    EXPECT_FALSE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(), nullptr,
                              length));
    std::string output(length, '\0');
    EXPECT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                             &output[0], length));
    EXPECT_EQ(output.size(), length);
    return output;
}

// The Base64 text of a crash report from its events: one 2021, or the parts
// (2022) in order, each naming its index and the count.
std::string Reassemble(const std::vector<testsupport::RecordedEvent>& events) {
    std::string text;
    if (events.size() == 1 && events[0].descriptor.Id == 2021) {
        return reinterpret_cast<const char*>(events[0].fields[1].data());
    }
    for (size_t i = 0; i < events.size(); ++i) {
        const auto& event = events[i];
        EXPECT_EQ(kCrashReportPartEventId, event.descriptor.Id);
        if (event.fields.size() != 4) {
            ADD_FAILURE() << "a part has " << event.fields.size() << " fields";
            return std::string();
        }
        uint32_t index = 0;
        uint32_t count = 0;
        std::memcpy(&index, event.fields[1].data(), sizeof(index));
        std::memcpy(&count, event.fields[2].data(), sizeof(count));
        EXPECT_EQ(i, index);
        EXPECT_EQ(events.size(), count);
        EXPECT_EQ(std::wstring(Log::moduleName), event.WideField(0));
        text += reinterpret_cast<const char*>(event.fields[3].data());
    }
    return text;
}

TEST(Base64Encode, GivesTheRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, encoded] : vectors) {
        EXPECT_EQ(encoded, Encode(input)) << input;
    }
    EXPECT_EQ("AP8Q", Encode(std::string("\x00\xff\x10", 3)));
}

TEST(Base64Encode, RefusesABufferTooSmallAndTellsTheLength) {
    char buffer[8];
    size_t length = 7;
    EXPECT_FALSE(Base64Encode(reinterpret_cast<const uint8_t*>("foobar"), 6, buffer, length));
    EXPECT_EQ(8u, length);
    length = 0;
    EXPECT_TRUE(Base64Encode(nullptr, 0, buffer, length));
    EXPECT_EQ(0u, length);
}

// A small 64-bit image in memory, its debug directory pointing at `entries`.
struct FakeImage {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4096, 0);

    explicit FakeImage(const std::vector<IMAGE_DEBUG_DIRECTORY>& entries,
                       uint32_t directorySize = 0) {
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(bytes.data());
        dos->e_magic = IMAGE_DOS_SIGNATURE;
        dos->e_lfanew = 64;
        auto* nt = Nt();
        nt->Signature = IMAGE_NT_SIGNATURE;
        nt->FileHeader.Machine = IMAGE_FILE_MACHINE_AMD64;
        nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        if (!entries.empty()) {
            std::memcpy(bytes.data() + 1024, entries.data(),
                        entries.size() * sizeof(IMAGE_DEBUG_DIRECTORY));
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG] = {
                1024, directorySize != 0
                          ? directorySize
                          : static_cast<DWORD>(entries.size() * sizeof(IMAGE_DEBUG_DIRECTORY))};
        }
    }
    IMAGE_NT_HEADERS64* Nt() { return reinterpret_cast<IMAGE_NT_HEADERS64*>(bytes.data() + 64); }
};

TEST(CopyDebugDirectory, CopiesTheCodeViewEntryOfThisExecutable) {
    const void* self = ::GetModuleHandleW(nullptr);
    size_t size = 0;
    ASSERT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
              CopyDebugDirectory(self, nullptr, size));
    std::vector<uint8_t> copy(size);
    size_t small = 10;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
              CopyDebugDirectory(self, copy.data(), small));
    EXPECT_EQ(size, small);
    ASSERT_EQ(0u, CopyDebugDirectory(self, copy.data(), size));

    IMAGE_DEBUG_DIRECTORY entry;
    std::memcpy(&entry, copy.data(), sizeof(entry));
    EXPECT_EQ(static_cast<DWORD>(IMAGE_DEBUG_TYPE_CODEVIEW), entry.Type);
    EXPECT_EQ(0u, entry.AddressOfRawData);
    EXPECT_EQ(28u, entry.PointerToRawData);
    EXPECT_EQ(28u + entry.SizeOfData, size);
    EXPECT_EQ(0, std::memcmp(copy.data() + 28, "RSDS", 4))
        << "the build id's CodeView record follows";
}

TEST(CopyDebugDirectory, HandlesImagesWithoutOrWithUnmappedOrDamagedData) {
    size_t size = 99;
    FakeImage none({});
    EXPECT_EQ(0u, CopyDebugDirectory(none.bytes.data(), nullptr, size));
    EXPECT_EQ(0u, size);

    // Data not mapped in the image: the entry is kept, with no data.
    IMAGE_DEBUG_DIRECTORY unmapped = {};
    unmapped.Type = IMAGE_DEBUG_TYPE_CODEVIEW;
    unmapped.SizeOfData = 100;
    unmapped.AddressOfRawData = 0;
    unmapped.PointerToRawData = 0x400;
    FakeImage image({unmapped});
    std::vector<uint8_t> copy(64);
    size = copy.size();
    ASSERT_EQ(0u, CopyDebugDirectory(image.bytes.data(), copy.data(), size));
    EXPECT_EQ(28u, size);
    IMAGE_DEBUG_DIRECTORY entry;
    std::memcpy(&entry, copy.data(), sizeof(entry));
    EXPECT_EQ(0u, entry.SizeOfData);
    EXPECT_EQ(28u, entry.PointerToRawData);

    FakeImage tooSmall({unmapped}, 20);  // a directory shorter than one entry
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS),
              CopyDebugDirectory(tooSmall.bytes.data(), copy.data(), size));
    FakeImage damaged({});
    damaged.Nt()->Signature = 0x1234;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS),
              CopyDebugDirectory(damaged.bytes.data(), copy.data(), size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS),
              CopyDebugDirectory(nullptr, copy.data(), size));
}

// An image places its NT headers and debug directory where its own fields
// say, at any offset: every field is read by copy, so an odd place reads as
// an aligned one (the test build traps on a misaligned read).
TEST(CopyDebugDirectory, ReadsHeadersAndEntriesAtAnyAlignment) {
    for (const DWORD shift : {0u, 1u, 2u, 3u}) {
        std::vector<uint8_t> bytes(4096, 0);
        IMAGE_DOS_HEADER dos = {};
        dos.e_magic = IMAGE_DOS_SIGNATURE;
        dos.e_lfanew = static_cast<LONG>(64 + shift);
        std::memcpy(bytes.data(), &dos, sizeof(dos));
        IMAGE_NT_HEADERS64 nt = {};
        nt.Signature = IMAGE_NT_SIGNATURE;
        nt.FileHeader.Machine = IMAGE_FILE_MACHINE_AMD64;
        nt.FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        nt.OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG] = {1024 + shift, 28};
        std::memcpy(bytes.data() + 64 + shift, &nt, sizeof(nt));
        IMAGE_DEBUG_DIRECTORY entry = {};
        entry.Type = IMAGE_DEBUG_TYPE_CODEVIEW;
        entry.SizeOfData = 4;
        entry.AddressOfRawData = 2048 + shift;
        std::memcpy(bytes.data() + 1024 + shift, &entry, sizeof(entry));
        std::memcpy(bytes.data() + 2048 + shift, "RSDS", 4);

        EXPECT_TRUE(IsValidNtHeaders(bytes.data() + 64 + shift)) << shift;
        WORD machine = 0;
        EXPECT_TRUE(ReadImageMachine(bytes.data(), machine)) << shift;
        EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, machine) << shift;
        std::vector<uint8_t> copy(64);
        size_t size = copy.size();
        ASSERT_EQ(0u, CopyDebugDirectory(bytes.data(), copy.data(), size)) << shift;
        EXPECT_EQ(32u, size) << shift;
        EXPECT_EQ(0, std::memcmp(copy.data() + 28, "RSDS", 4)) << shift;
    }
}

TEST(IsValidNtHeaders, AcceptsRealHeadersOnly) {
    const auto* base = reinterpret_cast<const uint8_t*>(::GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    EXPECT_TRUE(IsValidNtHeaders(nt));
    FakeImage image({});
    EXPECT_TRUE(IsValidNtHeaders(reinterpret_cast<const IMAGE_NT_HEADERS*>(image.Nt())));
    image.Nt()->OptionalHeader.Magic = 0x999;
    EXPECT_FALSE(IsValidNtHeaders(reinterpret_cast<const IMAGE_NT_HEADERS*>(image.Nt())));
    EXPECT_FALSE(IsValidNtHeaders(nullptr));
}

TEST(WriteModuleList, WritesOneEventPerModuleOnlyWhenEnabled) {
    ScopedLogSettings settings(0, 0);
    EventRecorder recorder;
    WriteModuleList();
    EXPECT_TRUE(recorder.Events().empty()) << "bit 10 clear: no event";

    EnableTraceSession(0, 0x8);
    WriteModuleList();
    const auto events = recorder.Events();
    HMODULE modules[1024];
    DWORD bytes = 0;
    ASSERT_TRUE(::K32EnumProcessModules(::GetCurrentProcess(), modules, sizeof(modules), &bytes));
    EXPECT_EQ(bytes / sizeof(HMODULE), events.size());

    bool foundSelf = false;
    for (const auto& event : events) {
        ASSERT_EQ(2020, event.descriptor.Id);
        // The published seven fields in their places and widths, then the
        // whole load address.
        ASSERT_EQ(8u, event.fields.size());
        const std::string path(reinterpret_cast<const char*>(event.fields[0].data()));
        EXPECT_EQ(path.size() + 1, event.fields[0].size());
        EXPECT_EQ(4u, event.fields[2].size()) << "load address, unsigned 32-bit as published";
        EXPECT_EQ(4u, event.fields[3].size()) << "image size, unsigned 32-bit as documented";
        EXPECT_EQ(std::wstring(Log::moduleName), event.WideField(4));
        EXPECT_EQ(2u, event.fields[6].size());
        EXPECT_EQ(8u, event.fields[7].size()) << "the whole load address, last";
        uint32_t low = 0;
        uint64_t whole = 0;
        std::memcpy(&low, event.fields[2].data(), sizeof(low));
        std::memcpy(&whole, event.fields[7].data(), sizeof(whole));
        EXPECT_EQ(static_cast<uint32_t>(whole), low);
        if (path.size() >= 16 && path.compare(path.size() - 16, 16, "common_tests.exe") == 0) {
            foundSelf = true;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(::GetModuleHandleW(nullptr)), whole);
            MODULEINFO self = {};
            ASSERT_TRUE(::K32GetModuleInformation(::GetCurrentProcess(), ::GetModuleHandleW(nullptr),
                                                  &self, sizeof(self)));
            uint32_t imageSize = 0;
            std::memcpy(&imageSize, event.fields[3].data(), sizeof(imageSize));
            EXPECT_EQ(self.SizeOfImage, imageSize);
            USHORT machine = 0;
            std::memcpy(&machine, event.fields[6].data(), sizeof(machine));
            EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, machine);
            const std::string copy = testsupport::Base64Decode(
                reinterpret_cast<const char*>(event.fields[1].data()));
            ASSERT_GE(copy.size(), 32u);
            EXPECT_EQ("RSDS", copy.substr(28, 4));
        }
    }
    EXPECT_TRUE(foundSelf);
}

TEST(WriteCrashDump, SendsAMinidumpAndLeavesNoFile) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    auto dumpFiles = [&temp] {
        WIN32_FIND_DATAW entry;
        size_t count = 0;
        HANDLE search = ::FindFirstFileW((std::wstring(temp) + L"dmp*.tmp").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                ++count;
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
        return count;
    };
    const size_t before = dumpFiles();
    ScopedLogSettings settings(0, 0);
    EventRecorder recorder;
    EnableTraceSession(1, 0x10);
    WriteCrashDump(nullptr);
    // A real minidump is far larger than one event takes: it comes in parts.
    const std::string text = Reassemble(recorder.Events());
    ASSERT_GT(text.size(), kMaxWholeReportChars);
    const std::string dump = testsupport::Base64Decode(text.c_str());
    EXPECT_EQ("MDMP", dump.substr(0, 4));
    EXPECT_EQ(before, dumpFiles()) << "the temporary file is gone";
}

TEST(SendCrashReport, SmallReportsGoWholeLargeOnesInPartsThatReassembleExactly) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    EnableTraceSession(1, 0x10);
    for (const size_t length : {size_t{100}, kMaxWholeReportChars, kMaxWholeReportChars + 1,
                                3 * kReportPartChars, 5 * kReportPartChars + 7}) {
        std::string text(length, '\0');
        for (size_t i = 0; i < length; ++i) {
            text[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 7 + i / 251) % 64];
        }
        EventRecorder recorder;
        SendCrashReport(Log::moduleName, text.c_str(), text.size());
        const auto events = recorder.Events();
        if (length <= kMaxWholeReportChars) {
            ASSERT_EQ(1u, events.size()) << length;
            EXPECT_EQ(2021, events[0].descriptor.Id);
            EXPECT_EQ(text, reinterpret_cast<const char*>(events[0].fields[1].data()));
            continue;
        }
        const size_t parts = (length + kReportPartChars - 1) / kReportPartChars;
        ASSERT_EQ(parts, events.size()) << length;
        for (const auto& event : events) {
            EXPECT_EQ(kCrashReportPartEventId, event.descriptor.Id);
            EXPECT_EQ(kTraceEventTable[7].descriptor.Level, event.descriptor.Level);
            EXPECT_EQ(kTraceEventTable[7].descriptor.Keyword, event.descriptor.Keyword);
            EXPECT_LE(event.fields[3].size(), kReportPartChars + 1);
        }
        EXPECT_EQ(text, Reassemble(events)) << length;
    }
}

struct FailingWriter : EventWriter {
    ULONG Write(REGHANDLE, PCEVENT_DESCRIPTOR, ULONG, PEVENT_DATA_DESCRIPTOR) override {
        return ERROR_ARITHMETIC_OVERFLOW;  // what ETW says of an event over 64 KB
    }
};

TEST(SendCrashReport, AFailedEventWriteIsLogged) {
    ScopedLogSettings settings(LogDestination::Console, 3);
    EnableTraceSession(1, 0x10);
    StdoutCapture capture;
    {
        FailingWriter failing;
        const Common::ScopedOverride<EventWriter> seam(failing);
        const std::string text(kMaxWholeReportChars + 1, 'A');
        SendCrashReport(Log::moduleName, text.c_str(), text.size());
        SendCrashReport(Log::moduleName, "QUJD", 4);
    }
    const std::string log = capture.Take();
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : EventWrite of crash report part 1 of 2 failed with error 534\n"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : EventWrite of crash report part 2 of 2 failed with error 534\n"));
    EXPECT_NE(std::string::npos,
              log.find("  ERROR : EventWrite of the crash report failed with error 534\n"));
}

// Whole processes: tools/crash_child crashes with and without the handlers.
ChildRun RunCrashChild(const char* arguments) {
    const std::string text(arguments);
    return testsupport::RunChild(L"crash_child.exe", std::wstring(text.begin(), text.end()));
}

TEST(CrashHandlers, AnAccessViolationIsDumpedOnceAndEndsTheProcess) {
    const ChildRun run = RunCrashChild("access-violation --arm");
    EXPECT_EQ(0xC0000005u, run.exitCode);
    // Dumped once: its first part (of many, a real dump being large) starts it.
    EXPECT_EQ(1u, Count(run.output, "event 2022 fields=4 part=0/")) << run.output;
    EXPECT_EQ(1u, Count(run.output, " dump=MDMP")) << run.output;
    const size_t error =
        run.output.find("  ERROR : An unhandled exception was thrown with error code 3221225477");
    const size_t info =
        run.output.find("   INFO : Finished dumping fault information for exception 3221225477");
    const size_t abnormal = run.output.find("  ERROR : The process terminated abnormally");
    ASSERT_NE(std::string::npos, error) << run.output;
    EXPECT_LT(error, info);
    EXPECT_LT(info, abnormal);
    EXPECT_NE(std::string::npos, abnormal);
}

TEST(CrashHandlers, AnAbortIsDumpedOnceAndExitsWithCode3) {
    const ChildRun run = RunCrashChild("abort --arm");
    EXPECT_EQ(3u, run.exitCode);
    // Dumped once: its first part (of many, a real dump being large) starts it.
    EXPECT_EQ(1u, Count(run.output, "event 2022 fields=4 part=0/")) << run.output;
    EXPECT_EQ(1u, Count(run.output, " dump=MDMP")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("  ERROR : The process terminated abnormally"));
    EXPECT_NE(
        std::string::npos,
        run.output.find("   INFO : Finished dumping fault information for abnormal termination"));
}

// A fault while the run log's lock is held (in the run log's own code, or on
// a heap corrupted under it): the handler does not wait for the lock, so the
// dump is sent and the process ends; the run log only misses the crash's
// lines. Without the lock held, they reach the file.
TEST(CrashHandlers, AFaultWhileTheRunLogIsLockedIsDumpedAndEndsTheProcess) {
    const struct {
        const char* mode;
        bool linesInFile;
    } cases[] = {{"fault-holding-run-log-lock", false}, {"access-violation", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::wstring folder = L"C:\\kg-crash-run-log";
        testsupport::RemoveTree(folder + L"\\");
        const ChildRun run = RunCrashChild(
            (std::string(c.mode) + " --arm --run-log=C:\\kg-crash-run-log").c_str());
        EXPECT_TRUE(run.ended) << run.output;
        EXPECT_EQ(0xC0000005u, run.exitCode);
        EXPECT_EQ(1u, Count(run.output, "event 2022 fields=4 part=0/")) << run.output;
        EXPECT_NE(std::string::npos,
                  run.output.find("  ERROR : An unhandled exception was thrown with error code "
                                  "3221225477\n"))
            << run.output;
        std::string file;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::ifstream in(entry.path());
            file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        EXPECT_EQ(c.linesInFile,
                  file.find("  ERROR : An unhandled exception was thrown with error code "
                            "3221225477\n") != std::string::npos)
            << file;
        testsupport::RemoveTree(folder + L"\\");
    }
}

// The handlers come from the program's entry (StartCrashReporting), not from
// logging: a session's request arms them once the entry has given them, also
// when it came first; a program that never gives them reports no crash.
TEST(CrashHandlers, OnlyAProgramThatStartedCrashReportingIsArmed) {
    const struct {
        const char* arguments;
        bool dumped;
    } cases[] = {{"access-violation --arm --start=late", true},
                 {"access-violation --arm --start=never", false}};
    for (const auto& c : cases) {
        const ChildRun run = RunCrashChild(c.arguments);
        EXPECT_EQ(0xC0000005u, run.exitCode) << c.arguments;
        EXPECT_EQ(c.dumped ? 1u : 0u, Count(run.output, " dump=MDMP"))
            << c.arguments << "\n" << run.output;
        EXPECT_EQ(c.dumped, run.output.find("  ERROR : An unhandled exception was thrown with "
                                            "error code 3221225477") != std::string::npos)
            << c.arguments << "\n" << run.output;
    }
}

TEST(CrashHandlers, WithoutASessionTheCrashTakesItsDefaultCourse) {
    const ChildRun run = RunCrashChild("access-violation");
    EXPECT_EQ(0xC0000005u, run.exitCode);
    EXPECT_EQ("", run.output);
}

}  // namespace
