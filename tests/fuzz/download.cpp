// The response's status and length numbers and the resume decision of the
// download, through the request's virtual steps (answers made from the fuzz
// bytes: status, Content-Length and Content-Range texts, bodies, failures)
// and a cache file in memory that may already hold a partial download.
//
// Properties:
// - nothing is appended unless the ranged answer is a 206 with exactly the
//   range asked for; a refused or failed first answer leaves the file as it
//   was;
// - success means the file holds exactly the announced length: the cached
//   file, or its bytes followed by the rest, or a fresh body;
// - the ranged request asks for the bytes after the cached file, up to the
//   announced length;
// - a length of 2 GiB or more is refused before any body is read.

#include <winhttp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/downloader.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"
#include "tests/fuzz/stand_ins/memory_disk.h"

namespace {

constexpr wchar_t kUrl[] = L"https://updates.example/setup.exe";
constexpr wchar_t kPath[] = L"C:\\cache\\setup.exe";

// One answer of the server.
struct Answer {
    bool sent = true;          // the request reaches the server
    std::wstring status;       // the status code's text
    bool hasLength = true;
    std::wstring length;       // the Content-Length's text
    bool hasRange = false;
    std::wstring range;        // the Content-Range's text
    std::string body;          // what the server would send
    size_t chunk = 1;          // bytes that arrive at a time
    bool failsAfterBody = false;
};

// A header number as the server meant it: its leading digits; `tooLarge`
// past the largest 32-bit value.
int64_t Number(const std::wstring& text, bool& tooLarge) {
    int64_t value = 0;
    tooLarge = false;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            break;
        }
        value = value * 10 + (c - L'0');
        if (value > INT32_MAX) {
            tooLarge = true;
            return -1;
        }
    }
    return value;
}

class FuzzRequest : public HttpRequest {
  public:
    FuzzRequest(std::vector<Answer> answers, std::vector<std::pair<uint32_t, int32_t>>& sends,
                size_t& reads)
        : answers_(std::move(answers)), sends_(sends), reads_(reads) {}

    bool Send(const std::wstring& url, uint32_t rangeStart, int32_t expectedLength) override {
        FUZZ_CHECK(url == kUrl, "another URL requested");
        sends_.emplace_back(rangeStart, expectedLength);
        if (sends_.size() > answers_.size()) {
            ::SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
            return false;
        }
        current_ = &answers_[sends_.size() - 1];
        // WinHTTP reads no more of a body than its Content-Length says.
        bool tooLarge = false;
        const int64_t length = current_->hasLength ? Number(current_->length, tooLarge) : -1;
        left_ = current_->body.substr(0, length >= 0 ? static_cast<size_t>(length) : std::string::npos);
        if (!current_->sent) {
            ::SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
        }
        return current_->sent;
    }

    bool QueryRequestHeader(DWORD infoLevel, std::wstring& text) override {
        if (current_ != nullptr) {
            if (infoLevel == WINHTTP_QUERY_STATUS_CODE) {
                text = current_->status;
                return true;
            }
            if (infoLevel == WINHTTP_QUERY_CONTENT_LENGTH && current_->hasLength) {
                text = current_->length;
                return true;
            }
            if (infoLevel == WINHTTP_QUERY_CONTENT_RANGE && current_->hasRange) {
                text = current_->range;
                return true;
            }
        }
        ::SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
        return false;
    }

    bool QueryDataAvailable(DWORD& available) override {
        available = 0;
        FUZZ_CHECK(current_ != nullptr, "a body read without a request");
        if (left_.empty() && current_->failsAfterBody) {
            ::SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
            return false;
        }
        available = static_cast<DWORD>(std::min(left_.size(), current_->chunk));
        return true;
    }

    bool ReadData(uint8_t* buffer, DWORD size, DWORD& read) override {
        ++reads_;
        read = static_cast<DWORD>(std::min<size_t>({size, left_.size(), current_->chunk}));
        std::copy(left_.begin(), left_.begin() + read, buffer);
        left_.erase(0, read);
        return true;
    }

    void Close() override { current_ = nullptr; }

  private:
    std::vector<Answer> answers_;
    std::vector<std::pair<uint32_t, int32_t>>& sends_;
    size_t& reads_;
    Answer* current_ = nullptr;
    std::string left_;
};

std::wstring Digits(uint64_t value) {
    return std::to_wstring(value);
}

// A Content-Length text: mostly one that bears on the cached file's size.
std::wstring LengthText(FuzzedDataProvider& input, size_t cached) {
    std::wstring text;
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: text = Digits(cached); break;
        case 1: text = Digits(cached + input.ConsumeIntegralInRange<size_t>(1, 3000)); break;
        case 2: text = Digits(cached - std::min(cached, input.ConsumeIntegralInRange<size_t>(1, 3000))); break;
        case 3: text = Digits(input.ConsumeIntegral<uint32_t>()); break;
        case 4: text = Digits(2147483648ull + input.ConsumeIntegral<uint32_t>()); break;
        case 5: text = L"0"; break;
        default: text = fuzz::WideUnits(input, 24); break;
    }
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
        text += fuzz::WideUnits(input, 4);
    }
    return text;
}

std::wstring StatusText(FuzzedDataProvider& input, const wchar_t* usual) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: return L"200";
        case 1: return L"206";
        case 2: return L"416";
        case 3: return L"404";
        case 4: return fuzz::WideUnits(input, 12);
        default: return usual;
    }
}

// A body of `length` bytes that tells its answer (`tag`) and place apart.
std::string Body(size_t length, uint8_t tag) {
    std::string body(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        body[i] = static_cast<char>((i * 7 + tag * 31) & 0xFF);
    }
    return body;
}

Answer MakeAnswer(FuzzedDataProvider& input, size_t cached, const wchar_t* usualStatus, uint8_t tag) {
    Answer answer;
    answer.sent = input.ConsumeIntegralInRange<int>(0, 15) != 0;
    answer.status = StatusText(input, usualStatus);
    answer.hasLength = input.ConsumeIntegralInRange<int>(0, 15) != 0;
    answer.length = LengthText(input, cached);
    answer.body = Body(input.ConsumeIntegralInRange<size_t>(0, 6000), tag);
    answer.chunk = input.ConsumeIntegralInRange<size_t>(1, 2048);
    answer.failsAfterBody = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    auto& disk = fuzz::MemoryDisk();
    disk.clear();
    const bool cachedBefore = input.ConsumeBool();
    const std::string old = cachedBefore ? Body(input.ConsumeIntegralInRange<size_t>(0, 3000), 9) : "";
    if (cachedBefore) {
        disk[kPath] = old;
    }
    fuzz::VolumeHasRoom() = input.ConsumeIntegralInRange<int>(0, 15) != 0;

    Answer first = MakeAnswer(input, old.size(), L"200", 1);
    Answer ranged = MakeAnswer(input, old.size(), L"206", 2);
    bool tooLarge = false;
    const int64_t announced = first.hasLength ? Number(first.length, tooLarge) : 0;
    // The range the ranged request must name, as the server should answer it.
    const std::wstring expectedRange = L"bytes " + Digits(old.size()) + L"-" +
                                       std::to_wstring(announced - 1) + L"/" +
                                       std::to_wstring(announced);
    ranged.hasRange = input.ConsumeIntegralInRange<int>(0, 7) != 0;
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: ranged.range = L"bytes " + Digits(old.size() + 1) + L"-" + std::to_wstring(announced - 1) + L"/" + std::to_wstring(announced); break;
        case 1: ranged.range = L"bytes 0-" + std::to_wstring(announced - 1) + L"/" + std::to_wstring(announced); break;
        case 2: ranged.range = fuzz::WideUnits(input, 40); break;
        default: ranged.range = expectedRange; break;
    }

    std::vector<std::pair<uint32_t, int32_t>> sends;
    size_t reads = 0;
    bool result = false;
    {
        Downloader downloader(std::make_unique<FuzzRequest>(std::vector<Answer>{first, ranged}, sends, reads),
                              std::make_unique<DownloadFile>(kPath));
        result = downloader.Download(kUrl);
    }
    const bool cachedAfter = disk.count(kPath) != 0;
    const std::string after = cachedAfter ? disk[kPath] : "";
    const bool unchanged = cachedAfter == cachedBefore && after == old;

    FUZZ_CHECK(!sends.empty() && sends[0] == std::make_pair(0u, 0), "the first request is not plain");
    bool statusTooLarge = false;
    const bool firstOk = first.sent && first.hasLength && Number(first.status, statusTooLarge) == 200;
    if (!firstOk) {
        FUZZ_CHECK(!result && unchanged && reads == 0, "a refused first answer changed the file");
    }
    if (tooLarge) {
        FUZZ_CHECK(!result && unchanged && reads == 0,
                   "a length of 2 GiB or more was not refused before reading");
    }
    if (sends.size() > 1) {
        FUZZ_CHECK(sends.size() == 2 && sends[1].first == old.size() && sends[1].second == announced &&
                       cachedBefore && old.size() > 0 && static_cast<int64_t>(old.size()) < announced,
                   "ranged request for %u of %d with %zu bytes cached", sends[1].first, sends[1].second,
                   old.size());
        bool ignored = false;
        const bool partial = ranged.sent && ranged.hasLength && Number(ranged.status, ignored) == 206;
        if (partial && !(ranged.hasRange && ranged.range == expectedRange)) {
            FUZZ_CHECK(!result && unchanged, "appended after the Content-Range [%s], not [%s]",
                       fuzz::Shown(ranged.range).c_str(), fuzz::Shown(expectedRange).c_str());
        }
    }
    if (result) {
        FUZZ_CHECK(cachedAfter && static_cast<int64_t>(after.size()) == announced,
                   "success with %zu bytes for a length of %lld", after.size(),
                   static_cast<long long>(announced));
        std::string expected;
        if (static_cast<int64_t>(old.size()) == announced && cachedBefore) {
            expected = old;
        } else if (sends.size() == 1) {
            expected = first.body.substr(0, after.size());
        } else {
            bool ignored = false;
            expected = Number(ranged.status, ignored) == 206
                           ? old + ranged.body.substr(0, after.size() - old.size())
                           : ranged.body.substr(0, after.size());
        }
        FUZZ_CHECK(after == expected, "the file holds other bytes than were sent for it");
    }
    return 0;
}
