#pragma once

#include <windows.h>

// Crash reporting through the trace provider: the list of loaded modules
// (event 2020, on a session's request; module_list.h) and, after an unhandled
// structured exception or an abort, a minidump carried as Base64 in one event
// (2021; crash_dump.h). The handlers are armed only when a session asks;
// otherwise a crash takes the platform's default course.

#include "common/crash_dump.h"
#include "common/module_list.h"

// Gives the process's trace provider crash reporting's entry points: called
// once at the process entry, before the first log line registers the
// provider (a session that enabled the events before the process started
// then gets them at registration). Called later, it runs them at once for the
// events a session enabled. A program that never calls it reports no crash.
void StartCrashReporting();

// Set once a dump was written for an unhandled exception; the abort that
// follows it then makes no second one.
extern volatile LONG crashDumped;

// Installs OnAbortSignal for SIGABRT and OnUnhandledException as the
// top-level exception filter (again on every call, never chained).
void ArmCrashHandlers();

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers);
void OnAbortSignal(int signal);
