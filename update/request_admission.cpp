#include "update/request_admission.h"

#include <windows.h>

#include "common/log.h"
#include "common/trace_scope.h"
#include "http/url_components.h"
#include "update/sha256.h"

namespace {

void Refuse(UpdateFailure& failure, std::wstring text) {
    failure.stage = kStageRequest;
    failure.code = ERROR_ACCESS_DENIED;
    failure.text = std::move(text);
}

}  // namespace

bool AdmitRequest(const std::vector<std::wstring>& requested, const std::wstring& args,
                  const Caller& caller, const UpdatePolicy& policy,
                  std::vector<std::wstring>& urls, UpdateFailure& failure) {
    TraceScope trace;
    urls.clear();
    if (policy.DisablesUpdates()) {
        Log::Error(L"The update is refused: updates are turned off by policy");
        Refuse(failure, L"The update was refused: updates are turned off by policy.");
        return false;
    }
    if (!caller.administrator && !policy.AllowsArguments(args)) {
        Log::Error(L"The update is refused: [%s] is not an administrator and policy does not "
                   L"allow the installer arguments [%s]",
                   caller.Describe().c_str(), args.c_str());
        Refuse(failure, L"The installer arguments \"" + args +
                            L"\" are refused: a caller that is not an administrator may pass "
                            L"only arguments that an administrator allowed by policy "
                            L"(AllowedArguments); nothing was downloaded.");
        return false;
    }
    for (const std::wstring& url : requested) {
        if (!policy.Restricts() || !policy.restrictsHosts) {
            urls.push_back(url);
            continue;
        }
        UrlComponents parts(url);
        if (parts.Crack() && policy.AllowsHost(parts.hostName)) {
            urls.push_back(url);
            continue;
        }
        Log::Warning(L"URL refused by policy: its host [%s] is not among the allowed hosts: [%s]",
                     parts.hostName.c_str(), url.c_str());
    }
    if (urls.empty()) {
        Log::Error(L"The update is refused: no URL names a host that policy allows");
        Refuse(failure, L"No URL of the request names a host that policy allows (AllowedHosts); "
                        L"nothing was downloaded.");
        return false;
    }
    return true;
}

bool AdmitBegin(const UpdateRequest& request, const Caller& caller, const UpdatePolicy& policy,
                UpdateRequest& admitted, UpdateFailure& failure) {
    TraceScope trace;
    // Nothing is downloaded, run or cleaned unless every path formed in the
    // cache from the request stays there.
    if (request.urls.empty()) {
        Log::Error(L"The update request names no URL; nothing to download.");
        failure = {kStageRequest, ERROR_INVALID_PARAMETER,
                   L"The update request names no URL to download the installer from."};
        return false;
    }
    // A digest in lower case is the same digest.
    const std::wstring hash = Sha256::NormalizedDigest(request.hash);
    if (!hash.empty() && !Sha256::IsDigestText(hash)) {
        Log::Error(L"The policy hash is not 64 hexadecimal digits; the update is refused.");
        failure = {kStageRequest, ERROR_INVALID_PARAMETER,
                   L"The update request's hash is not a SHA-256 digest of 64 hexadecimal "
                   L"digits; nothing was downloaded."};
        return false;
    }
    std::vector<std::wstring> urls;
    if (!AdmitRequest(request.urls, request.args, caller, policy, urls, failure)) {
        return false;
    }
    admitted.urls = std::move(urls);
    admitted.hash = hash;
    admitted.args = request.args;
    return true;
}

ReleaseRule AdmittedReleases(const Caller& caller, const UpdatePolicy& policy) {
    if (!caller.administrator) {
        return ReleaseRule::kNewerOnly;
    }
    return policy.AllowsDowngrade() ? ReleaseRule::kOlderAllowed : ReleaseRule::kNotOlder;
}
