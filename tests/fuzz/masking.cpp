// Masking of secrets and the control-character escapes, over any text.
//
// Properties:
// - masking says whether it changed the text, and masking twice equals
//   masking once;
// - a URL's password and a secret parameter's value, spelled with any JSON
//   escapes and set in any text, show neither as written nor once the JSON
//   escapes are undone;
// - escaped text holds no control character, says whether it changed, and
//   escaping twice equals escaping once; in a JSON text the escapes keep
//   its meaning.

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

#include "common/control_characters.h"
#include "common/redact_credentials.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_text.h"

namespace {

using fuzz::Shown;

// The characters written visibly: C0, DEL, C1, the marks and isolates that
// change the direction of text, the line and paragraph separators.
bool IsControl(unsigned int c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void CheckMaskingOf(const std::wstring& text) {
    std::wstring once = text;
    const bool changed = Common::RedactCredentials(once);
    FUZZ_CHECK(changed == (once != text), "masking said %d for [%s] -> [%s]", changed,
               Shown(text).c_str(), Shown(once).c_str());
    std::wstring twice = once;
    const bool changedAgain = Common::RedactCredentials(twice);
    FUZZ_CHECK(!changedAgain && twice == once, "masking twice: [%s] -> [%s] -> [%s]",
               Shown(text).c_str(), Shown(once).c_str(), Shown(twice).c_str());
}

// `c` as the input chooses to spell it in JSON: as it is, or "\uXXXX" in
// either case of hex digits, or for '/' "\/".
std::wstring Spelled(FuzzedDataProvider& input, wchar_t c) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 1: {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            return std::wstring(buffer, buffer + 6);
        }
        case 2: {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            return std::wstring(buffer, buffer + 6);
        }
        case 3:
            if (c == L'/') {
                return L"\\/";
            }
            return std::wstring(1, c);
        default:
            return std::wstring(1, c);
    }
}

std::wstring SpelledText(FuzzedDataProvider& input, const std::wstring& text) {
    std::wstring spelled;
    for (const wchar_t c : text) {
        spelled += Spelled(input, c);
    }
    return spelled;
}

// 1 to `most` characters of `alphabet`.
std::wstring Word(FuzzedDataProvider& input, const wchar_t* alphabet, size_t most) {
    const std::wstring letters = alphabet;
    std::wstring word;
    const size_t length = input.ConsumeIntegralInRange<size_t>(1, most);
    for (size_t i = 0; i < length; ++i) {
        word.push_back(letters[input.ConsumeIntegralInRange<size_t>(0, letters.size() - 1)]);
    }
    return word;
}

// Text that ends no escape half-way: an odd run of backslashes at its end
// would take the next character as escaped.
std::wstring Closed(std::wstring text) {
    size_t backslashes = 0;
    while (backslashes < text.size() && text[text.size() - 1 - backslashes] == L'\\') {
        ++backslashes;
    }
    if (backslashes % 2 == 1) {
        text.push_back(L'\\');
    }
    return text;
}

bool Shows(const std::wstring& text, const std::wstring& secret) {
    return text.find(secret) != std::wstring::npos ||
           fuzz::JsonDecoded(text).find(secret) != std::wstring::npos;
}

// Characters a user name, password, host or secret value may hold here:
// none ends a URL's authority or a parameter's value.
constexpr wchar_t kUserInfo[] = L"abcXYZ0189-._~!$&()*+,;=%";
constexpr wchar_t kSecretValue[] = L"abcXYZ0189-._~%+";
const wchar_t* const kSecretNames[] = {L"sig",  L"Signature", L"TOKEN",      L"access_token",
                                       L"key",  L"X-Amz-Signature", L"x-goog-signature",
                                       L"password", L"client_secret"};
const wchar_t* const kNameStarts[] = {L"?", L"&", L"/", L"-", L"\"", L" ", L"[", L";", L","};

void CheckSecretsAreHidden(FuzzedDataProvider& input) {
    const std::wstring before = Closed(fuzz::WideUnits(input, 64));
    const std::wstring after = fuzz::WideUnits(input, 64);
    const std::wstring user = Word(input, kUserInfo, 8);
    // Marked, so that the text around cannot hold it by chance.
    const std::wstring password = L"Pq7" + Word(input, kUserInfo, 12);
    const std::wstring value = L"Vk3" + Word(input, kSecretValue, 12);
    const std::wstring name = kSecretNames[input.ConsumeIntegralInRange<size_t>(
        0, sizeof kSecretNames / sizeof kSecretNames[0] - 1)];
    const std::wstring start = kNameStarts[input.ConsumeIntegralInRange<size_t>(
        0, sizeof kNameStarts / sizeof kNameStarts[0] - 1)];
    const std::wstring url = SpelledText(input, L"https://" + user + L":" + password +
                                                    L"@host.example/file" + start + name +
                                                    L"=" + value);
    for (const std::wstring& secret : {password, value}) {
        if (Shows(before, secret) || Shows(after, secret) || Shows(user, secret)) {
            return;
        }
    }
    const std::wstring text = before + url + after;
    std::wstring masked = text;
    (void)Common::RedactCredentials(masked);
    FUZZ_CHECK(!Shows(masked, password), "password shows: [%s] -> [%s]", Shown(text).c_str(),
               Shown(masked).c_str());
    FUZZ_CHECK(!Shows(masked, value), "secret value shows: [%s] -> [%s]", Shown(text).c_str(),
               Shown(masked).c_str());
    CheckMaskingOf(text);
}

void CheckWideEscapes(const std::wstring& text) {
    std::wstring escaped = text;
    const bool changed = Common::EscapeControlCharacters(escaped);
    FUZZ_CHECK(changed == (escaped != text), "escaping said %d for [%s]", changed,
               Shown(text).c_str());
    for (const wchar_t c : escaped) {
        FUZZ_CHECK(!IsControl(static_cast<unsigned int>(c)), "control %04x left in [%s]",
                   static_cast<unsigned>(c), Shown(escaped).c_str());
    }
    std::wstring again = escaped;
    FUZZ_CHECK(!Common::EscapeControlCharacters(again) && again == escaped,
               "escaping twice changed [%s]", Shown(escaped).c_str());
}

// The characters of UTF-8 `text`, strictly decoded (a byte that starts no
// well-formed sequence stands for itself: U+FFFD would hide it).
std::u32string Utf8Decoded(const std::string& text) {
    std::u32string decoded;
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        char32_t c = 0;
        char32_t least = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2, c = b & 0x1F, least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3, c = b & 0x0F, least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4, c = b & 0x07, least = 0x10000;
        }
        bool wellFormed = length > 0 && i + length <= text.size();
        for (size_t k = 1; wellFormed && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            wellFormed = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        wellFormed = wellFormed && c >= least && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (wellFormed) {
            decoded.push_back(c);
            i += length;
        } else {
            decoded.push_back(b);
            ++i;
        }
    }
    return decoded;
}

void CheckNarrowEscapes(const std::string& text, const std::string& keep) {
    std::string escaped = text;
    const bool changed = Common::EscapeControlCharacters(escaped, keep);
    FUZZ_CHECK(changed == (escaped != text), "escaping (UTF-8) said %d", changed);
    for (const char32_t c : Utf8Decoded(escaped)) {
        const bool kept = c < 0x80 && c != 0 && keep.find(static_cast<char>(c)) != std::string::npos;
        FUZZ_CHECK(kept || !IsControl(static_cast<unsigned int>(c)), "control %04x left (UTF-8)",
                   static_cast<unsigned>(c));
    }
    std::string again = escaped;
    FUZZ_CHECK(!Common::EscapeControlCharacters(again, keep) && again == escaped,
               "escaping (UTF-8) twice changed the text");
}

using Json = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;

// A JSON text holding `text` as a string, as the worker's answers carry a
// failure text: once escaped it shows no control character and still says
// the same.
void CheckJsonEscapes(const std::wstring& text) {
    rapidjson::GenericStringBuffer<rapidjson::UTF16<wchar_t>> buffer;
    rapidjson::Writer<decltype(buffer), rapidjson::UTF16<wchar_t>, rapidjson::UTF16<wchar_t>>
        writer(buffer);
    writer.StartObject();
    writer.Key(L"text");
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    writer.EndObject();
    std::wstring json = buffer.GetString();
    Common::EscapeControlCharactersForJson(json);
    for (const wchar_t c : json) {
        FUZZ_CHECK(!IsControl(static_cast<unsigned int>(c)), "control %04x left in JSON [%s]",
                   static_cast<unsigned>(c), Shown(json).c_str());
    }
    Json document;
    document.Parse(json.c_str());
    FUZZ_CHECK(!document.HasParseError() && document.IsObject() && document.HasMember(L"text"),
               "escaped JSON no longer parses: [%s]", Shown(json).c_str());
    const auto& value = document[L"text"];
    const std::wstring read(value.GetString(), value.GetStringLength());
    FUZZ_CHECK(read == text, "escaped JSON says [%s], not [%s]", Shown(read).c_str(),
               Shown(text).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The whole input as text, as UTF-8 bytes, and as a guide to a text
    // built around secrets.
    const std::wstring text = fuzz::WideUnits(data, size);
    CheckMaskingOf(text);
    CheckWideEscapes(text);
    CheckJsonEscapes(text);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckNarrowEscapes(bytes, "");
    CheckNarrowEscapes(bytes, "\n");
    FuzzedDataProvider input(data, size);
    CheckSecretsAreHidden(input);
    return 0;
}
