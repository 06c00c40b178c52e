#pragma once

#include <string>
#include <vector>

#include "rpc/update_rpc_client.h"

// kgupdate-ctl talking to the worker over UpdateRPC: one session (bound at
// its first call), and the commands that use it. Each returns an exit code
// (tools/ctl_exit_codes.h).
class Session {
  public:
    // Returns false (with a message) when the endpoint cannot be reached.
    bool Send(const std::wstring& request, std::wstring& response, bool& hasResponse);

  private:
    UpdateRpcClient client_;
    bool bound_ = false;
};

// Sends one instruction as it came and prints the answer as it came.
int SendRaw(Session& session, const std::wstring& instruction);

// Prints the status in words (with the bytes and the reason of a failure
// when `detail`), or the answer as it came with `json`.
int Query(Session& session, bool detail, bool json);

// Follows the update to Completed or Failed; Ctrl-C ends the following
// (not the update).
int FollowUpdate(Session& session, bool json);

// Begins an update; with `wait`, follows it. A worker that already has an
// update ignores a begin (it answers that update's status): asked first, so
// that the administrator knows which update runs.
int Begin(Session& session, const std::vector<std::wstring>& urls, const std::wstring& hash,
          const std::wstring& args, bool wait, bool json);
