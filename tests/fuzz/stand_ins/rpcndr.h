#pragma once
// A stand-in for <rpcndr.h> in the native fuzz build: the allocator hooks
// the RPC run time expects of the application (rpc/midl_user.cpp).
#include <cstddef>
#include <rpc.h>
void* __RPC_USER midl_user_allocate(size_t size);
void __RPC_USER midl_user_free(void* block);
