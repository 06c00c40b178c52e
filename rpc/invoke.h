#pragma once

// UpdateRPC's one procedure, Invoke (declared in update_rpc_interface.h), and
// the bounds that keep what callers can make the worker hold small: the
// run time's registration (StartListening) and Invoke both use them.

#include <windows.h>

// Calls handled at once: the run time dispatches no more, and Invoke makes
// any further one wait (and refuses it after kCallWaitMs).
inline constexpr unsigned int kMaxConcurrentCalls = 32;
inline constexpr DWORD kCallWaitMs = 10000;

// The largest request the run time takes in; a larger one is refused before
// anything is allocated for it. A valid instruction is far smaller (see
// kMaxInstructionChars), so together with kMaxConcurrentCalls this bounds
// what callers can make the worker hold.
inline constexpr unsigned int kMaxRequestBytes = 1024 * 1024;
