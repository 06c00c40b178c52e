#include "rpc/request_messages.h"

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#include <cstring>
#include <cwchar>
#include <exception>

#include "common/log.h"
#include "common/trace_scope.h"
#include "rpc/json.h"

namespace {

// Parses `text` into `document`. Invalid JSON leaves the document a null
// value. The iterative parser keeps its nesting on the heap, so no depth of
// nesting can exhaust the stack. Returns false if the library raised.
bool ParseRequestText(const wchar_t* text, JsonDocument& document) {
    try {
        document.Parse<rapidjson::kParseIterativeFlag>(text != nullptr ? text : L"");
        return true;
    } catch (const std::exception& e) {
        Log::Error(L"Failed to parse json.  Error: %S", e.what());
        return false;
    }
}

const JsonValue* FindMember(const JsonValue& object, const wchar_t* name) {
    if (!object.IsObject()) {
        return nullptr;
    }
    const auto member = object.FindMember(name);
    return member != object.MemberEnd() ? &member->value : nullptr;
}

// A member that must be a string when present. Missing reads as empty.
bool ReadOptionalString(const JsonValue& object, const wchar_t* name, std::wstring& value) {
    const JsonValue* member = FindMember(object, name);
    if (member == nullptr) {
        value.clear();
        return true;
    }
    if (!member->IsString()) {
        Log::Error(L"Request member [%s] is not a string; request refused", name);
        return false;
    }
    value = member->GetString();  // up to the first NUL
    return true;
}

}  // namespace

std::wstring ParseInstruction(const wchar_t* requestText) {
    TraceScope trace;
    JsonDocument document;
    (void)ParseRequestText(requestText, document);
    const JsonValue* id = FindMember(document, L"id");
    if (id == nullptr || !id->IsString()) {
        return std::wstring();
    }
    return std::wstring(id->GetString());
}

bool IsBeginInstruction(const std::wstring& instruction) {
    TraceScope trace;
    return instruction == kBeginInstruction;
}

bool IsQueryInstruction(const std::wstring& instruction) {
    TraceScope trace;
    return instruction == kQueryInstruction;
}

bool ParseUpdateRequest(const wchar_t* requestText, UpdateRequest& request,
                        UpdateFailure* refusal) {
    TraceScope trace;
    JsonDocument document;
    if (!ParseRequestText(requestText, document)) {
        return false;
    }
    const JsonValue* data = FindMember(document, L"data");
    if (data == nullptr || !data->IsObject()) {
        return true;
    }

    // Both are checked before anything is filled: a refused request stays empty.
    std::wstring hash;
    std::wstring args;
    if (!ReadOptionalString(*data, L"hash", hash) || !ReadOptionalString(*data, L"args", args)) {
        return false;
    }

    const JsonValue* urls = FindMember(*data, L"urls");
    if (urls != nullptr && urls->IsArray() && urls->Size() > kMaxUpdateUrls) {
        Log::Error(L"Refusing a begin instruction with [%lu] URLs: at most [%lu] are accepted",
                   static_cast<unsigned long>(urls->Size()),
                   static_cast<unsigned long>(kMaxUpdateUrls));
        if (refusal != nullptr) {
            *refusal = {kStageRequest, ERROR_INVALID_PARAMETER,
                        L"The update request names " + std::to_wstring(urls->Size()) +
                            L" URLs; at most " + std::to_wstring(kMaxUpdateUrls) +
                            L" are accepted, and nothing was downloaded."};
        }
        return false;
    }
    if (urls != nullptr && urls->IsArray()) {
        Log::Verbose(L"Found [%lu] urls", static_cast<unsigned long>(urls->Size()));
        for (const JsonValue& url : urls->GetArray()) {
            if (url.IsString()) {
                Log::Verbose(L"Adding url: [%s]", url.GetString());
                request.urls.emplace_back(url.GetString());
            }
        }
    }
    // As sent: the update normalises the digest (UpdateController::Run).
    request.hash = std::move(hash);
    request.args = std::move(args);
    Log::Info(L"Parsed request into hash:[%s], args:[%s]", request.hash.c_str(),
              request.args.c_str());
    return true;
}

bool IsDetailedQuery(const wchar_t* requestText) {
    TraceScope trace;
    // A poll that names no "detail" (and escapes nothing, so cannot spell it
    // otherwise) asks for none: the common case needs no second parse.
    if (requestText == nullptr ||
        (std::wcsstr(requestText, L"detail") == nullptr && std::wcschr(requestText, L'\\') == nullptr)) {
        return false;
    }
    JsonDocument document;
    (void)ParseRequestText(requestText, document);
    const JsonValue* data = FindMember(document, L"data");
    const JsonValue* detail = data != nullptr ? FindMember(*data, L"detail") : nullptr;
    return detail != nullptr && detail->IsTrue();
}

namespace {

// Writes `document` compactly into a midl_user_allocate buffer.
void StoreResponse(const JsonDocument& document, wchar_t** response) {
    JsonStringBuffer buffer;
    JsonWriter writer(buffer);
    document.Accept(writer);

    // GetSize() counts bytes.
    const size_t characters = buffer.GetSize() / sizeof(wchar_t);
    const size_t bytes = (characters + 1) * sizeof(wchar_t);
    auto* text = static_cast<wchar_t*>(midl_user_allocate(bytes));
    if (text == nullptr) {
        return;
    }
    std::memset(text, 0, bytes);
    std::memcpy(text, buffer.GetString(), characters * sizeof(wchar_t));
    *response = text;
    Log::Info(L"Response set to be: [%s]", text);
}

}  // namespace

void ComposeResponse(UpdateStatus status, wchar_t** response) {
    TraceScope trace;
    JsonDocument document;
    document.SetObject();
    JsonValue data(rapidjson::kObjectType);
    data.AddMember(L"status", static_cast<int>(status), document.GetAllocator());
    document.AddMember(L"data", data, document.GetAllocator());
    StoreResponse(document, response);
}

void ComposeDetailedResponse(UpdateStatus status, uint64_t received, uint64_t total,
                             const UpdateFailure& failure, wchar_t** response) {
    TraceScope trace;
    JsonDocument document;
    document.SetObject();
    auto& allocator = document.GetAllocator();
    JsonValue data(rapidjson::kObjectType);
    data.AddMember(L"status", static_cast<int>(status), allocator);
    data.AddMember(L"received", received, allocator);
    data.AddMember(L"total", total, allocator);
    if (status == Failed && failure.IsSet()) {
        JsonValue error(rapidjson::kObjectType);
        error.AddMember(L"stage", JsonValue(failure.stage, allocator), allocator);
        error.AddMember(L"code", failure.code, allocator);
        error.AddMember(L"text",
                        JsonValue(failure.text.c_str(),
                                  static_cast<rapidjson::SizeType>(failure.text.size()), allocator),
                        allocator);
        data.AddMember(L"error", error, allocator);
    }
    document.AddMember(L"data", data, document.GetAllocator());
    StoreResponse(document, response);
}
