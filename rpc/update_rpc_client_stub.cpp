// The interpreted client stub of UpdateRPC 1.0 for x64, in midl's layout for
// a synchronous call (no async handle):
//   void Client_Invoke(handle_t, [in, string] const wchar_t*,
//                      [out, string] wchar_t**).

#include "rpc/update_rpc_interface.h"

#include "rpc/ndr_format.h"

namespace {

const unsigned char kProcFormat[] = {
    0x00,               /* handle type: explicit */
    0x48,               /* Oi flags: has RPC flags, new init routines */
    KG_NDR_LONG(0x0),   /* RPC flags */
    KG_NDR_SHORT(0x0),  /* procedure number */
    KG_NDR_SHORT(0x18), /* stack size: binding, request, response */
    0x32,               /* FC_BIND_PRIMITIVE */
    0x00,
    KG_NDR_SHORT(0x0), /* binding handle at stack offset 0 */
    KG_NDR_SHORT(0x0), /* client buffer size */
    KG_NDR_SHORT(0x8), /* server buffer size */
    0x43,              /* Oi2 flags: has extensions, client and server must size */
    0x02,              /* 2 parameters */
    0x0a,              /* extension size */
    0x01,              /* extension flags: new correlation descriptors */
    KG_NDR_SHORT(0x0),
    KG_NDR_SHORT(0x0),
    KG_NDR_SHORT(0x0),
    KG_NDR_SHORT(0x0),
    /* request */
    KG_NDR_SHORT(0x010b), /* must size, must free, in, simple ref */
    KG_NDR_SHORT(0x8),    /* stack offset */
    KG_NDR_SHORT(0x4),    /* type offset */
    /* response */
    KG_NDR_SHORT(0x2013), /* must size, must free, out, server alloc size 8 */
    KG_NDR_SHORT(0x10),   /* stack offset */
    KG_NDR_SHORT(0x6),    /* type offset */
    0x00,
};

extern const RPC_CLIENT_INTERFACE kClientInterface;

const MIDL_STUB_DESC kStubDesc =
    ndr::StubDescriptor(const_cast<RPC_CLIENT_INTERFACE*>(&kClientInterface));

const RPC_CLIENT_INTERFACE kClientInterface = {
    sizeof(RPC_CLIENT_INTERFACE),
    ndr::kUpdateRpcSyntax,
    ndr::kNdrTransferSyntax,
    nullptr,
    0,
    nullptr,
    0,
    nullptr,
    0,
};

}  // namespace

extern "C" {
RPC_IF_HANDLE UpdateRPC_v1_0_c_ifspec = const_cast<RPC_CLIENT_INTERFACE*>(&kClientInterface);
}

extern "C" void Client_Invoke(handle_t binding, const wchar_t* request, wchar_t** response) {
    NdrClientCall2(const_cast<MIDL_STUB_DESC*>(&kStubDesc), kProcFormat, binding, request,
                   response);
}
