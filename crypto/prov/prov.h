// The provider that makes the GOST algorithms reachable through OpenSSL 3:
// built into the library (registered in the default library context) and
// also built as a loadable module for the stock command line.
#pragma once

#include <openssl/core.h>
#include <openssl/core_dispatch.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "crypto/ecgost/ecgost.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rus/gost28147.h"

namespace qcrypto::prov {

// The name of the loadable module and of the first copy of the library in a
// process to register its built-in provider; later copies register theirs
// under kProviderName-2, -3... Every algorithm declares "provider=<the name
// the core gave it>", so that a fetch that names one copy's provider is
// answered by that copy's code only, and a foreign plug-in offering
// algorithms under the same names never answers instead.
inline constexpr const char* kProviderName = "dossar";

// Algorithm names: short name, long name, dotted OID, then the aliases.
inline constexpr const char* kNamesRusChange = "RUS-CHANGE:rus-change:1.3.6.1.4.1.6173.1.1.1:rus-ecb:rus-simple";
inline constexpr const char* kNamesRusGamma = "RUS-GAMMA:rus-gamma:1.3.6.1.4.1.6173.1.1.2";
inline constexpr const char* kNamesRusGammar =
    "RUS-GAMMAR:rus-gammar:1.3.6.1.4.1.6173.1.1.3:rus-gfb:rus-gamma-fb:rus-gamma-r";
// The digest of GOST R 34.10-94 signatures also answers to the names of that
// signature object.
inline constexpr const char* kNamesRusHash =
    "RUS-HASH:rus-hash:1.3.6.1.4.1.6173.1.2.1:r3411:rush:R3410-R3411:r3410WithR3411";
inline constexpr const char* kNamesEcr3410Hash =
    "ECR3410-R3411:ecr3410WithR3411:1.3.6.1.4.1.6173.1.3.2:ecr3410:ECR3410";

// Key types: key management and signature share the names.
inline constexpr const char* kNamesR3410 = "R3410:r3410:1.3.6.1.4.1.6173.1.1.5";
inline constexpr const char* kNamesEcr3410 = "ECR3410:ecr3410:1.3.6.1.4.1.6173.1.6.2";

// A key of either GOST type as the provider holds it: one reference to the
// key record of crypto/r3410 or crypto/ecgost.
struct GostKey {
  int type;  // SYSOBJ_R3410 or SYSOBJ_ECR3410
  R3410* r3410;
  ECGOST* ecgost;
};

// Handing a key record to the built-in provider inside this process: the
// library files the record under a number (one reference moves with it) and
// imports a key with that number as the parameter kParamKeyTicket; the number
// is good for one import. A module loaded into another program never has
// tickets, so nothing outside the library can make the provider adopt a
// pointer. kParamKeyRecord gives the record of a key back (no new reference).
inline constexpr const char* kParamKeyTicket = "dossar-key-ticket";
inline constexpr const char* kParamKeyRecord = "dossar-key-record";
uint64_t key_ticket_file(int type, void* record);
// The record of a ticket (the reference moves to the caller), or null.
void* key_ticket_take(uint64_t ticket, int type);

// Answered by the provider's get_params with an address inside the copy of
// the code that runs it (octet pointer): a copy of the library tells its own
// provider from another copy's by it.
inline constexpr const char* kParamCopyTag = "dossar-copy-tag";
const void* copy_tag();

// The provider's context: the core's handle and library context, and the
// algorithm tables as this instance answers them (the property definitions
// carry the instance's name).
struct ProvCtx {
  const OSSL_CORE_HANDLE* handle = nullptr;
  OSSL_LIB_CTX* libctx = nullptr;
  std::deque<std::string> properties;  // a deque never moves what it holds
  std::vector<std::vector<OSSL_ALGORITHM>> tables;
};

// The tables below give in their property field only what follows the
// provider's name (null when nothing does).
extern const OSSL_ALGORITHM kDigests[];
extern const OSSL_ALGORITHM kCiphers[];
extern const OSSL_ALGORITHM kKeymgmt[];
extern const OSSL_ALGORITHM kSignatures[];
extern const OSSL_ALGORITHM kKeyExchanges[];
extern const OSSL_ALGORITHM kDecoders[];
extern const OSSL_ALGORITHM kEncoders[];

// The core's BIO functions, taken at provider start: a provider reads and
// writes the caller's data only through them (built in or as a module).
int core_read(OSSL_CORE_BIO* bio, void* data, size_t length, size_t* read);
int core_write(OSSL_CORE_BIO* bio, const void* data, size_t length, size_t* written);

// A key made by a decoder, handed to key management by reference.
void* key_load(const void* reference, size_t reference_size);

// The provider's entry point (OSSL_provider_init_fn), shared by the built-in
// registration and the loadable module.
int provider_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in, const OSSL_DISPATCH** out, void** provctx);

}  // namespace qcrypto::prov
