#pragma once
// A stand-in for <rpc.h> in the native fuzz build.
#include <windows.h>
#define __RPC_USER
