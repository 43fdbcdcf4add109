// The GOST ciphers and digests as OpenSSL 3 methods.
//
// They come from the library's own provider, registered as a built-in in the
// default library context under a name of this copy of the library's own;
// every method handed out here is fetched with a property query naming that
// provider, so a foreign plug-in that offers
// algorithms under the same names never answers in its place.
#pragma once

#include <openssl/evp.h>

namespace qcrypto {

// Registers the objects, adds the provider as a built-in and loads it and
// "default" (loading any provider turns the automatic default off), once per
// process. 1 when both are loaded. The getters below call it themselves.
int evp_provider_start();

// The name this copy of the library registered its provider under
// ("dossar" for the first copy in the process, "dossar-2", "dossar-3"...
// for later ones) and the property query that names it ("provider=<name>"):
// every fetch and every key context of this copy asks with that query, so
// that only this copy's provider code answers. They start the provider.
const char* evp_provider_name();
const char* evp_provider_query();

// GOST 28147-89 with the cipher default S-box set: simple substitution,
// gamma, gamma with feedback. Kept for the life of the process; never freed.
const EVP_CIPHER* EVP_rus_change();
const EVP_CIPHER* EVP_rus_gamma();
const EVP_CIPHER* EVP_rus_gammar();
// GOST R 34.11-94 as the digest of GOST R 34.10-94 and of GOST R 34.10-2001.
const EVP_MD* EVP_rus_hash();
const EVP_MD* EVP_ecr3410();

// A cipher by name through the system's table: a name of one of the GOST
// ciphers answers only from the library's provider; "3DES-WRAP" (and its OID)
// names DES-EDE3-CBC, as the system always had it, not OpenSSL's wrap cipher
// of that OID; any other name is fetched as OpenSSL knows it. The caller frees
// the result with EVP_CIPHER_free; null when nothing answers.
EVP_CIPHER* evp_cipher_fetch(const char* name);
// The same for digests (EVP_MD_free).
EVP_MD* evp_md_fetch(const char* name);

}  // namespace qcrypto
