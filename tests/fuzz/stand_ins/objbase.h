#pragma once
// A stand-in for <objbase.h> in the native fuzz build: nothing of it is used.
#include <windows.h>
