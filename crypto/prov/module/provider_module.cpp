// The library's provider as a loadable OpenSSL module, for the stock command
// line (openssl -provider-path <dir> -provider dossar -provider default ...).
// Everything it registers goes through the core's functions, which reach the
// objects table of the process that loaded it.
#include <openssl/core.h>

#include "crypto/prov/prov.h"

extern "C" __attribute__((visibility("default"))) int OSSL_provider_init(const OSSL_CORE_HANDLE* handle,
                                                                         const OSSL_DISPATCH* in,
                                                                         const OSSL_DISPATCH** out, void** provctx) {
  return qcrypto::prov::provider_init(handle, in, out, provctx);
}
