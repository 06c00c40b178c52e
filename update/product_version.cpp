#include "update/product_version.h"

#include <windows.h>

#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/pe_image.h"
#include "common/unique_handle.h"
#include "common/trace_scope.h"
#include "common/wide_format.h"
#include "update/version_block.h"

namespace {

// Larger version resources are not read (they are a few kilobytes).
constexpr DWORD kMaxVersionResourceBytes = 1024 * 1024;

struct ServiceVersion {
    bool present = false;
    ProductVersion version;
};

ServiceVersion CheckServiceVersion(const std::wstring& ownPath) {
    static std::mutex mutex;
    static std::map<std::wstring, ServiceVersion> kept;
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = kept.find(ownPath);
    if (found != kept.end()) {
        return found->second;
    }
    ServiceVersion own;
    own.present = !ownPath.empty() && ReadProductVersion(ownPath, own.version);
    return kept.emplace(ownPath, own).first->second;
}

}  // namespace

std::wstring ProductVersion::Text() const {
    wchar_t text[32];
    Common::FormatWide(text, L"%u.%u.%u.%u", static_cast<unsigned>(version >> 48),
                       static_cast<unsigned>((version >> 32) & 0xFFFF),
                       static_cast<unsigned>((version >> 16) & 0xFFFF),
                       static_cast<unsigned>(version & 0xFFFF));
    return text;
}

namespace {

// The product version and name of a version resource's bytes, `size` of
// them the resource's own (the rest is room the version functions may use).
// Nothing is read from a block that is not sound (CheckVersionBlock).
bool ParseVersionBlock(std::vector<BYTE>& data, size_t size, ProductVersion& read) {
    std::wstring damage;
    if (!CheckVersionBlock(data.data(), size, damage)) {
        Log::Warning(L"A version resource is not read: %s", damage.c_str());
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO) ||
        fixed->dwSignature != VS_FFI_SIGNATURE) {
        return false;
    }
    // The product name of the first translation the resource lists (US
    // English, Unicode when it lists none).
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    Translation first = {0x0409, 1200};
    if (::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                         reinterpret_cast<void**>(&translations), &length) &&
        translations != nullptr && length >= sizeof(Translation)) {
        first = translations[0];
    }
    wchar_t query[64];
    Common::FormatWide(query, L"\\StringFileInfo\\%04x%04x\\ProductName",
                       static_cast<unsigned>(first.language), static_cast<unsigned>(first.codePage));
    wchar_t* name = nullptr;
    if (!::VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&name), &length) ||
        name == nullptr || length == 0) {
        return false;
    }
    read.productName.assign(name, wcsnlen(name, length));
    read.version = (static_cast<uint64_t>(fixed->dwProductVersionMS) << 32) |
                   fixed->dwProductVersionLS;
    return !read.productName.empty();
}

}  // namespace

bool ReadProductVersion(const std::wstring& path, ProductVersion& read) {
    TraceScope trace;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0 || size > kMaxVersionResourceBytes) {
        return false;
    }
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        return false;
    }
    return ParseVersionBlock(data, data.size(), read);
}

namespace {

// The version resource of the file open at `file`, through a read-only
// mapping of that handle: false when it has none (or one too large to be
// one); `data` holds its bytes and room after them, `length` the bytes.
bool CopyVersionResource(HANDLE file, std::vector<BYTE>& data, size_t& length) {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        return false;
    }
    const Common::KernelHandle mapping(
        ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) {
        return false;
    }
    const Common::MappedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        return false;
    }
    const auto* bytes = static_cast<const BYTE*>(view.Get());
    size_t offset = 0;
    if (!FindVersionResource(bytes, static_cast<size_t>(size.QuadPart), offset, length) ||
        length == 0 || length > kMaxVersionResourceBytes) {
        return false;
    }
    // A copy with room after it, as the version functions expect of a block
    // they did not read themselves.
    data.assign(bytes + offset, bytes + offset + length);
    data.resize(length * 2);
    return true;
}

}  // namespace

bool ReadProductVersion(HANDLE file, ProductVersion& read) {
    TraceScope trace;
    std::vector<BYTE> data;
    size_t length = 0;
    return CopyVersionResource(file, data, length) && ParseVersionBlock(data, length, read);
}

bool HasSoundVersionResource(HANDLE file, const std::wstring& path, std::wstring* refusal) {
    TraceScope trace;
    std::vector<BYTE> data;
    size_t length = 0;
    std::wstring damage;
    if (!CopyVersionResource(file, data, length) ||
        CheckVersionBlock(data.data(), length, damage)) {
        return true;
    }
    Log::Error(L"Downloaded binary [%s] carries a damaged version resource: %s", path.c_str(),
               damage.c_str());
    if (refusal != nullptr) {
        *refusal = L"The download's version resource is damaged (" + damage +
                   L"); it is not read, and the download is not installed.";
    }
    return false;
}

void KeepServiceVersion(const std::wstring& ownPath) {
    (void)CheckServiceVersion(ownPath);
}

bool IsNotOlderThanService(HANDLE file, const std::wstring& path, const std::wstring& ownPath,
                           std::wstring* refusal, bool olderAllowed) {
    TraceScope trace;
    const ServiceVersion own = CheckServiceVersion(ownPath);
    ProductVersion download;
    if (!own.present || !ReadProductVersion(file, download)) {
        return true;
    }
    Log::Info(L"Downloaded binary is version [%s] of [%s]; the update service is version [%s] "
              L"of [%s]",
              download.Text().c_str(), download.productName.c_str(), own.version.Text().c_str(),
              own.version.productName.c_str());
    if (::CompareStringOrdinal(download.productName.c_str(), -1,
                               own.version.productName.c_str(), -1, TRUE) != CSTR_EQUAL ||
        download.version >= own.version.version) {
        return true;
    }
    if (olderAllowed) {
        Log::Warning(L"Installing an older release: [%s] is version [%s], the update service is "
                     L"version [%s]; policy allows administrators to install an older release "
                     L"(AllowDowngrade)",
                     path.c_str(), download.Text().c_str(), own.version.Text().c_str());
        return true;
    }
    Log::Error(L"Downloaded binary is older than the installed version: [%s] is version [%s], "
               L"the update service is version [%s]",
               path.c_str(), download.Text().c_str(), own.version.Text().c_str());
    if (refusal != nullptr) {
        *refusal = L"The download is version " + download.Text() + L" of " +
                   download.productName + L", older than the installed version " +
                   own.version.Text() + L".";
    }
    return false;
}

bool IsNewerReleaseOfService(HANDLE file, const std::wstring& path, const std::wstring& ownPath,
                             std::wstring* refusal) {
    TraceScope trace;
    const ServiceVersion own = CheckServiceVersion(ownPath);
    ProductVersion download;
    std::wstring why;
    if (!own.present) {
        why = L"The update service carries no version resource, so no download can be shown to "
              L"be a newer release of it; only an administrator may begin this update.";
    } else if (!ReadProductVersion(file, download)) {
        why = L"The download carries no version resource with a product name; a caller that is "
              L"not an administrator may only install a newer release of " +
              own.version.productName + L".";
    } else if (::CompareStringOrdinal(download.productName.c_str(), -1,
                                      own.version.productName.c_str(), -1,
                                      TRUE) != CSTR_EQUAL) {
        why = L"The download is " + download.productName + L", not " + own.version.productName +
              L"; a caller that is not an administrator may only install a newer release of " +
              own.version.productName + L".";
    } else if (download.version <= own.version.version) {
        why = L"The download is version " + download.Text() + L" of " + download.productName +
              L", not newer than the installed version " + own.version.Text() +
              L"; a caller that is not an administrator may only install a newer release.";
    } else {
        Log::Info(L"Downloaded binary is version [%s] of [%s], newer than the update service's "
                  L"[%s]",
                  download.Text().c_str(), download.productName.c_str(),
                  own.version.Text().c_str());
        return true;
    }
    Log::Error(L"Downloaded binary [%s] is not a newer release of the service: %s", path.c_str(),
               why.c_str());
    if (refusal != nullptr) {
        *refusal = why;
    }
    return false;
}
