#include "update/run_summary.h"

#include "common/control_characters.h"
#include "common/redact_credentials.h"
#include "update/update_controller.h"

std::wstring RunSummary(const UpdateController* controller, uint64_t runSeconds,
                        uint64_t queries) {
    std::wstring result = L"no update";
    UpdateFailure failure;
    uint64_t bytes = 0;
    uint64_t seconds = runSeconds;
    std::wstring url;
    std::wstring account;
    UpdateSnapshot snapshot;
    if (controller != nullptr) {
        snapshot = controller->Snapshot();
        result = StatusName(snapshot.status);
        failure = snapshot.failure;
        bytes = snapshot.received;
        seconds = snapshot.seconds;
        url = snapshot.url;
        account = snapshot.begunBy.Describe();
    }
    std::wstring text = std::wstring(kRunSummaryMarker) + L"result [" + result + L"], stage [" +
                        failure.stage + L"], code [" + std::to_wstring(failure.code) +
                        L"], bytes [" + std::to_wstring(bytes) + L"], seconds [" +
                        std::to_wstring(seconds) + L"], ";
    if (controller != nullptr) {
        text += L"queries [" + std::to_wstring(queries) + L"], begun by [" + account + L"], ";
    }
    text += L"url [" + url + L"]";
    if (failure.IsSet()) {
        text += L", reason [" + failure.text + L"]";
    }
    (void)Common::RedactCredentials(text);
    (void)Common::EscapeControlCharacters(text);
    return text;
}
