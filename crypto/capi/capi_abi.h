// The four provider calls that signing a digest uses, as the driver library
// exports them. Shared by the binding in this folder and by the project's
// own driver library for tests (stand-ins/capi), so both sides agree on the
// calling convention.
//
// Types follow the platform's widths: handles are pointer-sized, DWORD and
// ALG_ID are 32-bit, BOOL is an int (non-zero on success).
#pragma once

#include <cstdint>

namespace qcrypto::capi_abi {

using HCRYPTPROV = std::uintptr_t;
using HCRYPTKEY = std::uintptr_t;
using HCRYPTHASH = std::uintptr_t;
using DWORD = std::uint32_t;
using ALG_ID = std::uint32_t;
using BOOL = int;

// The library is asked for by its Windows name; platform/dynlib maps it to
// libadvapi32.so.
inline constexpr const char* kLibraryName = "advapi32.dll";

inline constexpr DWORD HP_HASHVAL = 0x0002;
inline constexpr DWORD AT_SIGNATURE = 2;

using CryptCreateHash_fn = BOOL (*)(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                                    HCRYPTHASH* hash);
using CryptSetHashParam_fn = BOOL (*)(HCRYPTHASH hash, DWORD parameter, const unsigned char* data, DWORD flags);
// `signature` null: *length receives the signature's size. Otherwise
// *length is the room at `signature` on entry and the bytes written on
// return.
using CryptSignHashA_fn = BOOL (*)(HCRYPTHASH hash, DWORD key_spec, const char* description, DWORD flags,
                                   unsigned char* signature, DWORD* length);
using CryptDestroyHash_fn = BOOL (*)(HCRYPTHASH hash);

inline constexpr const char* kExportNames[] = {"CryptCreateHash", "CryptSetHashParam", "CryptSignHashA",
                                               "CryptDestroyHash"};

}  // namespace qcrypto::capi_abi
