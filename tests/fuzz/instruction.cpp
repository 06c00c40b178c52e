// The instruction JSON (begin, query, detail) and the answers, over any text.
//
// Properties: a begin that parses, written back as JSON, parses to the same
// URLs, hash and arguments, and never holds more URLs than allowed; the
// instruction name is the text's "id"; the quick test for a detailed query
// agrees with reading the whole text; an answer parses back to what it was
// made of.

#include <cstdlib>
#include <string>

#include "rpc/json.h"
#include "rpc/request_messages.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"

namespace {

using fuzz::Shown;

JsonDocument Parsed(const std::wstring& text) {
    JsonDocument document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    return document;
}

const JsonValue* Member(const JsonValue& object, const wchar_t* name) {
    if (!object.IsObject()) {
        return nullptr;
    }
    const auto found = object.FindMember(name);
    return found != object.MemberEnd() ? &found->value : nullptr;
}

std::wstring Composed(const UpdateRequest& request) {
    JsonStringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key(L"id");
    writer.String(kBeginInstruction);
    writer.Key(L"data");
    writer.StartObject();
    writer.Key(L"urls");
    writer.StartArray();
    for (const std::wstring& url : request.urls) {
        writer.String(url.c_str(), static_cast<rapidjson::SizeType>(url.size()));
    }
    writer.EndArray();
    writer.Key(L"hash");
    writer.String(request.hash.c_str(), static_cast<rapidjson::SizeType>(request.hash.size()));
    writer.Key(L"args");
    writer.String(request.args.c_str(), static_cast<rapidjson::SizeType>(request.args.size()));
    writer.EndObject();
    writer.EndObject();
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

void CheckRequest(const std::wstring& text) {
    const std::wstring instruction = ParseInstruction(text.c_str());
    const JsonDocument document = Parsed(text);
    const JsonValue* id = Member(document, L"id");
    const std::wstring expected = id != nullptr && id->IsString() ? id->GetString() : L"";
    FUZZ_CHECK(instruction == expected, "instruction [%s], \"id\" says [%s]",
               Shown(instruction).c_str(), Shown(expected).c_str());
    FUZZ_CHECK(IsBeginInstruction(instruction) == (instruction == L"beginAutoUpdate") &&
                   IsQueryInstruction(instruction) == (instruction == L"queryAutoUpdateProgress"),
               "instruction [%s] named wrongly", Shown(instruction).c_str());

    UpdateRequest request;
    UpdateFailure refusal;
    if (ParseUpdateRequest(text.c_str(), request, &refusal)) {
        FUZZ_CHECK(request.urls.size() <= kMaxUpdateUrls, "%zu URLs accepted",
                   request.urls.size());
        const std::wstring again = Composed(request);
        UpdateRequest reread;
        FUZZ_CHECK(ParseUpdateRequest(again.c_str(), reread) && reread.urls == request.urls &&
                       reread.hash == request.hash && reread.args == request.args,
                   "[%s] written back as [%s] reads otherwise", Shown(text).c_str(),
                   Shown(again).c_str());
    } else {
        FUZZ_CHECK(request.urls.empty() && request.hash.empty() && request.args.empty(),
                   "a refused request was filled");
    }

    const JsonValue* data = Member(document, L"data");
    const JsonValue* detail = data != nullptr ? Member(*data, L"detail") : nullptr;
    const bool detailed = detail != nullptr && detail->IsTrue();
    FUZZ_CHECK(IsDetailedQuery(text.c_str()) == detailed, "detail %d for [%s]", detailed,
               Shown(text).c_str());
}

void CheckAnswer(FuzzedDataProvider& input) {
    const auto status = static_cast<UpdateStatus>(input.ConsumeIntegralInRange<int>(0, 3));
    const uint64_t received = input.ConsumeIntegral<uint64_t>();
    const uint64_t total = input.ConsumeIntegral<uint64_t>();
    const int64_t code = input.ConsumeIntegral<int64_t>();
    const std::wstring text = fuzz::WideUnits(input, 256);
    UpdateFailure failure{kStageSignature, code, text};

    wchar_t* plain = nullptr;
    ComposeResponse(status, &plain);
    FUZZ_CHECK(plain != nullptr, "no answer");
    const JsonDocument plainRead = Parsed(plain);
    const JsonValue* plainData = Member(plainRead, L"data");
    const JsonValue* plainStatus = plainData != nullptr ? Member(*plainData, L"status") : nullptr;
    FUZZ_CHECK(plainStatus != nullptr && plainStatus->IsInt() && plainStatus->GetInt() == status,
               "answer [%s] for status %d", Shown(plain).c_str(), static_cast<int>(status));
    std::free(plain);

    wchar_t* answer = nullptr;
    ComposeDetailedResponse(status, received, total, failure, &answer);
    FUZZ_CHECK(answer != nullptr, "no detailed answer");
    const JsonDocument read = Parsed(answer);
    const JsonValue* data = Member(read, L"data");
    FUZZ_CHECK(data != nullptr, "detailed answer [%s] does not parse", Shown(answer).c_str());
    const JsonValue* readStatus = Member(*data, L"status");
    const JsonValue* readReceived = Member(*data, L"received");
    const JsonValue* readTotal = Member(*data, L"total");
    FUZZ_CHECK(readStatus != nullptr && readStatus->IsInt() && readStatus->GetInt() == status &&
                   readReceived != nullptr && readReceived->IsUint64() &&
                   readReceived->GetUint64() == received && readTotal != nullptr &&
                   readTotal->IsUint64() && readTotal->GetUint64() == total,
               "detailed answer [%s]", Shown(answer).c_str());
    const JsonValue* error = Member(*data, L"error");
    FUZZ_CHECK((error != nullptr) == (status == Failed), "error member in [%s]",
               Shown(answer).c_str());
    if (error != nullptr) {
        const JsonValue* readText = Member(*error, L"text");
        const JsonValue* readCode = Member(*error, L"code");
        FUZZ_CHECK(readText != nullptr && readText->IsString() &&
                       std::wstring(readText->GetString(), readText->GetStringLength()) == text &&
                       readCode != nullptr && readCode->IsInt64() && readCode->GetInt64() == code,
                   "failure in [%s]", Shown(answer).c_str());
    }
    std::free(answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input is a request text (cut at its first NUL, as the
    // service receives a NUL-terminated string); its first bytes also make
    // an answer.
    std::wstring text = fuzz::WideUnits(data, size);
    text = text.c_str();
    CheckRequest(text);
    FuzzedDataProvider input(data, size);
    CheckAnswer(input);
    return 0;
}
