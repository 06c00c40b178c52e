// The allocator hooks that the RPC run time and its stubs expect of the
// application: response texts are allocated here and freed by the run time.

#include <windows.h>
#include <rpc.h>
#include <rpcndr.h>

#include <cstdlib>

void* __RPC_USER midl_user_allocate(size_t size) {
    return std::malloc(size);
}

void __RPC_USER midl_user_free(void* block) {
    std::free(block);
}
