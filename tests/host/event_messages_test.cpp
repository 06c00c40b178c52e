// The product executable carries the message table of its events (the event
// source's EventMessageFile): for each event the service writes, the text an
// event viewer renders from the executable with the event's inserts.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/event_log.h"
#include "common/unique_handle.h"
#include "tests/support/built_executable.h"
#include "update_event_messages.h"

namespace {

// The text of message `id` of `module` with `inserts` for %1, %2, ...; empty
// (and the error kept) when there is none.
std::wstring Render(HMODULE module, DWORD id, const std::vector<std::wstring>& inserts) {
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts) {
        arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    }
    wchar_t text[4096] = {};
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, ARRAYSIZE(text),
        reinterpret_cast<va_list*>(arguments.data()));
    return std::wstring(text, length);
}

TEST(EventMessages, EachEventRendersItsTextWithItsInserts) {
    const Common::LoadedLibrary module(::LoadLibraryExW(
        testsupport::BuiltExecutable(L"kgclient_update.exe").c_str(), nullptr,
        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << ::GetLastError();
    const struct {
        DWORD id;
        WORD shown;
        DWORD severity;  // the top two bits: 1 information, 2 warning, 3 error
        std::vector<std::wstring> inserts;
        std::wstring text;
    } events[] = {
        {KG_EVENT_UPDATE_COMPLETED, 1000, 1,
         {L"https://updates.example/client.exe", L"1.2.0.0", L"41", L"KG\\svc (S-1-5-21-1)"},
         L"The kestrelGATE client was updated.\r\n"
         L"URL: https://updates.example/client.exe\r\n"
         L"Installer version: 1.2.0.0\r\n"
         L"Seconds: 41\r\n"
         L"Begun by: KG\\svc (S-1-5-21-1)"},
        {KG_EVENT_UPDATE_FAILED, 1001, 3,
         {L"hash", L"0", L"The download's SHA-256 digest is 2C26B46B...7AE9.",
          L"https://updates.example/client.exe", L"KG\\svc (S-1-5-21-1)"},
         L"The kestrelGATE client update failed at stage hash with code 0: The download's "
         L"SHA-256 digest is 2C26B46B...7AE9.\r\n"
         L"URL: https://updates.example/client.exe\r\n"
         L"Begun by: KG\\svc (S-1-5-21-1)\r\n"
         L"The run's log tells the whole run (kgupdate-ctl last, kgupdate-ctl log, as an "
         L"administrator)."},
        {KG_EVENT_POLICY_KEY_NOT_PROTECTED, 1002, 2,
         {L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate",
          L"a user owns it", L"AllowedArguments, AllowDowngrade"},
         L"The update policy key "
         L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\kestrelGATE\\Client\\AutoUpdate is not "
         L"protected: a user owns it. Its restrictions (UpdatesDisabled, AllowedHosts) still "
         L"apply; what it allows is ignored: AllowedArguments, AllowDowngrade.\r\n"
         L"To put all of it in force, give the key SYSTEM or Administrators as owner and an "
         L"access list that lets nobody else change it."},
        {KG_EVENT_CACHE_UNUSABLE, 1003, 3,
         {L"C:\\ProgramData\\kestrelGATE", L"its owner is a user", L"Delete it."},
         L"The update cache cannot be used: C:\\ProgramData\\kestrelGATE (its owner is a user). "
         L"No update runs until an administrator acts.\r\n"
         L"What to do: Delete it."},
        {KG_EVENT_INSTALLER_STILL_RUNNING, 1004, 2, {L"4242", L"120"},
         L"The installer (process 4242) is still running after 120 minutes; the update waits "
         L"for it to end.\r\n"
         L"If it waits for input or hangs, end that process: the update then fails at stage "
         L"install with its exit code."},
    };
    for (const auto& event : events) {
        SCOPED_TRACE(event.shown);
        EXPECT_EQ(event.shown, Common::ShownEventId(event.id));
        EXPECT_EQ(event.severity, event.id >> 30);
        EXPECT_EQ(event.text, Render(module.Get(), event.id, event.inserts))
            << "error " << ::GetLastError();
    }
    // No other message: an id the table does not hold has no text.
    EXPECT_EQ(L"", Render(module.Get(), 0x400003E7, {}));
}

}  // namespace
