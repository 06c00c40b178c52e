// The interpreted server stub of UpdateRPC 1.0 for x64, in midl's layout:
// the one dispatch entry is NdrAsyncServerCall, the server routine table
// holds Invoke, and the procedure format describes
//   void Invoke(PRPC_ASYNC_STATE, handle_t, [in, string] const wchar_t*,
//               [out, string] wchar_t**).

#include "rpc/update_rpc_interface.h"

#include "rpc/ndr_format.h"

namespace {

const unsigned char kProcFormat[] = {
    0x00,               /* handle type: explicit */
    0x48,               /* Oi flags: has RPC flags, new init routines */
    KG_NDR_LONG(0x0),   /* RPC flags */
    KG_NDR_SHORT(0x0),  /* procedure number */
    KG_NDR_SHORT(0x20), /* stack size: async handle, binding, request, response */
    0x32,               /* FC_BIND_PRIMITIVE */
    0x00,
    KG_NDR_SHORT(0x8), /* binding handle at stack offset 8 */
    KG_NDR_SHORT(0x0), /* client buffer size */
    KG_NDR_SHORT(0x8), /* server buffer size */
    0xc3, /* Oi2 flags: has async handle, has extensions, client and server must size */
    0x02, /* 2 parameters */
    0x0a, /* extension size */
    0x01, /* extension flags: new correlation descriptors */
    KG_NDR_SHORT(0x0), /* client correlation hint */
    KG_NDR_SHORT(0x0), /* server correlation hint */
    KG_NDR_SHORT(0x0), /* notify index */
    KG_NDR_SHORT(0x0), /* floating-point argument mask */
    /* request */
    KG_NDR_SHORT(0x010b), /* must size, must free, in, simple ref */
    KG_NDR_SHORT(0x10),   /* stack offset */
    KG_NDR_SHORT(0x4),    /* type offset */
    /* response */
    KG_NDR_SHORT(0x2013), /* must size, must free, out, server alloc size 8 */
    KG_NDR_SHORT(0x18),   /* stack offset */
    KG_NDR_SHORT(0x6),    /* type offset */
    0x00,
};

const unsigned short kFormatOffsets[] = {0};

extern const MIDL_SERVER_INFO kServerInfo;
extern const RPC_SERVER_INTERFACE kServerInterface;

const MIDL_STUB_DESC kStubDesc =
    ndr::StubDescriptor(const_cast<RPC_SERVER_INTERFACE*>(&kServerInterface));

// Routines of every signature share this one table type.
const SERVER_ROUTINE kServerRoutines[] = {
    reinterpret_cast<SERVER_ROUTINE>(reinterpret_cast<void (*)()>(&Invoke))};

const MIDL_SERVER_INFO kServerInfo = {
    &kStubDesc, kServerRoutines, kProcFormat, kFormatOffsets, nullptr, nullptr, 0, nullptr,
};

RPC_DISPATCH_FUNCTION kDispatchFunctions[] = {NdrAsyncServerCall, nullptr};
RPC_DISPATCH_TABLE kDispatchTable = {1, kDispatchFunctions, 0};

const RPC_SERVER_INTERFACE kServerInterface = {
    sizeof(RPC_SERVER_INTERFACE),
    ndr::kUpdateRpcSyntax,
    ndr::kNdrTransferSyntax,
    &kDispatchTable,
    0,
    nullptr,
    nullptr,
    &kServerInfo,
    0,
};

}  // namespace

extern "C" {
RPC_IF_HANDLE UpdateRPC_v1_0_s_ifspec = const_cast<RPC_SERVER_INTERFACE*>(&kServerInterface);
}
