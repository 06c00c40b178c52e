#pragma once

// Bytes of NDR format strings, little-endian as the interpreter reads them.
#define KG_NDR_SHORT(s) \
    static_cast<unsigned char>((s)&0xff), static_cast<unsigned char>(((s) >> 8) & 0xff)
#define KG_NDR_LONG(l)                                                                   \
    static_cast<unsigned char>((l)&0xff), static_cast<unsigned char>(((l) >> 8) & 0xff), \
        static_cast<unsigned char>(((l) >> 16) & 0xff),                                  \
        static_cast<unsigned char>(((l) >> 24) & 0xff)

namespace ndr {

// Shared by both stubs: the request as a conformant wide string behind a
// reference pointer, and the response as a reference to a unique pointer to
// a conformant wide string.
inline constexpr unsigned char kTypeFormat[] = {
    KG_NDR_SHORT(0x0),
    /*  2 */ 0x11,
    0x08,          /* FC_RP [simple_pointer] */
    /*  4 */ 0x25, /* FC_C_WSTRING */
    0x5c,          /* FC_PAD */
    /*  6 */ 0x11,
    0x14,                       /* FC_RP [alloced_on_stack] [pointer_deref] */
    /*  8 */ KG_NDR_SHORT(0x2), /* offset 2: to 10 */
    /* 10 */ 0x12,
    0x08,          /* FC_UP [simple_pointer] */
    /* 12 */ 0x25, /* FC_C_WSTRING */
    0x5c,          /* FC_PAD */
    0x00,
};
static_assert(sizeof(kTypeFormat) == 15, "the type format of both compilers is 15 bytes");

inline const RPC_SYNTAX_IDENTIFIER kNdrTransferSyntax = {
    {0x8A885D04, 0x1CEB, 0x11C9, {0x9F, 0xE8, 0x08, 0x00, 0x2B, 0x10, 0x48, 0x60}}, {2, 0}};

inline const RPC_SYNTAX_IDENTIFIER kUpdateRpcSyntax = {
    {0x7EA84FD7, 0xFF45, 0x48B9, {0x9C, 0x54, 0x33, 0xC5, 0x25, 0x5E, 0x28, 0xC6}}, {1, 0}};

// The stub descriptor of either side: the interface, the allocator hooks and
// the shared type format, with midl's version numbers and bounds checks on.
inline MIDL_STUB_DESC StubDescriptor(void* interfaceInformation) noexcept {
    MIDL_STUB_DESC descriptor = {};
    descriptor.RpcInterfaceInformation = interfaceInformation;
    descriptor.pfnAllocate = midl_user_allocate;
    descriptor.pfnFree = midl_user_free;
    descriptor.pFormatTypes = kTypeFormat;
    descriptor.fCheckBounds = 1;
    descriptor.Version = 0x50002;        // NDR library version
    descriptor.MIDLVersion = 0x801026e;  // MIDL 8.1.622
    descriptor.mFlags = 0x1;
    return descriptor;
}

}  // namespace ndr
