// Provider entry: declares the objects and signature identifiers it needs
// through the core (which works both built in and as a loaded module) and
// answers the operation queries.
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <iterator>
#include <new>

#include "crypto/evp/objects.h"
#include "crypto/prov/prov.h"

namespace qcrypto::prov {
namespace {

OSSL_FUNC_core_obj_create_fn* g_obj_create = nullptr;
OSSL_FUNC_core_obj_add_sigid_fn* g_obj_add_sigid = nullptr;
OSSL_FUNC_core_get_libctx_fn* g_get_libctx = nullptr;
OSSL_FUNC_core_get_params_fn* g_core_get_params = nullptr;
OSSL_FUNC_BIO_read_ex_fn* g_bio_read = nullptr;
OSSL_FUNC_BIO_write_ex_fn* g_bio_write = nullptr;

// Objects the algorithms are named by; the others of the table are the
// library's business, not the command line's.
//
// RUS-HASH is left out on purpose. OpenSSL 3.0's CMS pairs a SignerInfo's
// digestAlgorithm with the content digests by NID (OBJ_obj2nid of the OID
// against EVP_MD_get_type), and a provider's digest has no NID: it meets
// only an OID the process has no object for. GOST R 34.10-94 messages name
// their digest by the RUS-HASH OID, so with that OID unnamed in the command
// `openssl cms -verify` checks them (the digest is fetched by its dotted
// OID, which it answers to). GOST R 34.10-2001 messages name theirs by the
// signature OID, which certificates need as an object: those stay refused.
// Any digest without a NID meets such an OID, but a wrong pair can only fail
// the comparison with the signed digest, never pass it. The library
// registers the whole table itself, so it loses nothing.
constexpr int kDeclared[] = {SYSOBJ_RUS_CHANGE,  SYSOBJ_RUS_GAMMA, SYSOBJ_RUS_GAMMAR,   SYSOBJ_R3410,
                             SYSOBJ_R3410_R3411, SYSOBJ_ECR3410,   SYSOBJ_ECR3410_R3411};

bool declare_objects(const OSSL_CORE_HANDLE* handle) {
  for (int number : kDeclared) {
    const auto row = sysobj_find(number);
    if (!row || g_obj_create(handle, row->oid, row->short_name, row->long_name) != 1) return false;
  }
  // The signature objects hash inside the signature algorithm: no digest.
  const auto r3410 = sysobj_find(SYSOBJ_R3410), r3410_sig = sysobj_find(SYSOBJ_R3410_R3411);
  const auto ec = sysobj_find(SYSOBJ_ECR3410), ec_sig = sysobj_find(SYSOBJ_ECR3410_R3411);
  return g_obj_add_sigid(handle, r3410_sig->oid, "", r3410->oid) == 1 &&
         g_obj_add_sigid(handle, ec_sig->oid, "", ec->oid) == 1;
}

const OSSL_PARAM kGettable[] = {
    OSSL_PARAM_DEFN(OSSL_PROV_PARAM_NAME, OSSL_PARAM_UTF8_PTR, nullptr, 0),
    OSSL_PARAM_DEFN(OSSL_PROV_PARAM_VERSION, OSSL_PARAM_UTF8_PTR, nullptr, 0),
    OSSL_PARAM_DEFN(OSSL_PROV_PARAM_BUILDINFO, OSSL_PARAM_UTF8_PTR, nullptr, 0),
    OSSL_PARAM_DEFN(OSSL_PROV_PARAM_STATUS, OSSL_PARAM_INTEGER, nullptr, 0),
    OSSL_PARAM_DEFN(kParamCopyTag, OSSL_PARAM_OCTET_PTR, nullptr, 0),
    OSSL_PARAM_END,
};

const OSSL_PARAM* gettable_params(void*) { return kGettable; }

int get_params(void*, OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "Dossar GOST provider")) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_VERSION);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "0.1")) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_BUILDINFO);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "0.1")) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 1)) return 0;
  p = OSSL_PARAM_locate(params, kParamCopyTag);
  if (p != nullptr && !OSSL_PARAM_set_octet_ptr(p, const_cast<void*>(copy_tag()), 0)) return 0;
  return 1;
}

// Operation numbers in the order of ProvCtx::tables.
constexpr int kOperations[] = {OSSL_OP_DIGEST,  OSSL_OP_CIPHER,  OSSL_OP_KEYMGMT, OSSL_OP_SIGNATURE,
                               OSSL_OP_KEYEXCH, OSSL_OP_DECODER, OSSL_OP_ENCODER};
const OSSL_ALGORITHM* const kTables[] = {kDigests,      kCiphers,  kKeymgmt, kSignatures,
                                         kKeyExchanges, kDecoders, kEncoders};
static_assert(std::size(kOperations) == std::size(kTables));

// The name the core registered this instance under: the built-in's name
// chosen by its copy of the library, or the name the module was loaded by.
const char* core_name(const OSSL_CORE_HANDLE* handle) {
  if (g_core_get_params == nullptr) return nullptr;
  const char* got = nullptr;
  OSSL_PARAM params[] = {OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_CORE_PROV_NAME, &got, 0), OSSL_PARAM_END};
  if (g_core_get_params(handle, params) != 1 || got == nullptr || *got == '\0') return nullptr;
  return got;
}

// The tables with "provider=<name>" in front of every property definition.
bool build_tables(ProvCtx* ctx, const char* name) {
  try {
    const std::string own = std::string("provider=") + name;
    for (const OSSL_ALGORITHM* table : kTables) {
      std::vector<OSSL_ALGORITHM> rows;
      for (const OSSL_ALGORITHM* a = table; a->algorithm_names != nullptr; ++a) {
        const std::string& property =
            ctx->properties.emplace_back(a->property_definition != nullptr ? own + "," + a->property_definition : own);
        rows.push_back({a->algorithm_names, property.c_str(), a->implementation, a->algorithm_description});
      }
      rows.push_back({nullptr, nullptr, nullptr, nullptr});
      ctx->tables.push_back(std::move(rows));
    }
    return true;
  } catch (...) {
    return false;
  }
}

const OSSL_ALGORITHM* query_operation(void* provctx, int operation_id, int* no_cache) {
  *no_cache = 0;
  const auto* ctx = static_cast<const ProvCtx*>(provctx);
  for (size_t i = 0; i < std::size(kOperations); ++i) {
    if (kOperations[i] == operation_id) return ctx->tables[i].data();
  }
  return nullptr;
}

void teardown(void* provctx) { delete static_cast<ProvCtx*>(provctx); }

const OSSL_DISPATCH kProviderDispatch[] = {
    {OSSL_FUNC_PROVIDER_TEARDOWN, reinterpret_cast<void (*)()>(teardown)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, reinterpret_cast<void (*)()>(gettable_params)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, reinterpret_cast<void (*)()>(get_params)},
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, reinterpret_cast<void (*)()>(query_operation)},
    {0, nullptr},
};

}  // namespace

const void* copy_tag() {
  static const char tag = 0;
  return &tag;
}

int core_read(OSSL_CORE_BIO* bio, void* data, size_t length, size_t* read) {
  return g_bio_read != nullptr ? g_bio_read(bio, data, length, read) : 0;
}

int core_write(OSSL_CORE_BIO* bio, const void* data, size_t length, size_t* written) {
  return g_bio_write != nullptr ? g_bio_write(bio, data, length, written) : 0;
}

int provider_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in, const OSSL_DISPATCH** out, void** provctx) {
  for (; in != nullptr && in->function_id != 0; ++in) {
    switch (in->function_id) {
      case OSSL_FUNC_CORE_OBJ_CREATE:
        g_obj_create = OSSL_FUNC_core_obj_create(in);
        break;
      case OSSL_FUNC_CORE_OBJ_ADD_SIGID:
        g_obj_add_sigid = OSSL_FUNC_core_obj_add_sigid(in);
        break;
      case OSSL_FUNC_CORE_GET_PARAMS:
        g_core_get_params = OSSL_FUNC_core_get_params(in);
        break;
      case OSSL_FUNC_CORE_GET_LIBCTX:
        g_get_libctx = OSSL_FUNC_core_get_libctx(in);
        break;
      case OSSL_FUNC_BIO_READ_EX:
        g_bio_read = OSSL_FUNC_BIO_read_ex(in);
        break;
      case OSSL_FUNC_BIO_WRITE_EX:
        g_bio_write = OSSL_FUNC_BIO_write_ex(in);
        break;
      default:
        break;
    }
  }
  if (g_obj_create == nullptr || g_obj_add_sigid == nullptr || g_get_libctx == nullptr) return 0;
  if (!declare_objects(handle)) return 0;
  const char* name = core_name(handle);
  if (name == nullptr) return 0;
  auto* ctx = new (std::nothrow) ProvCtx;
  if (ctx == nullptr) return 0;
  ctx->handle = handle;
  ctx->libctx = reinterpret_cast<OSSL_LIB_CTX*>(g_get_libctx(handle));
  if (!build_tables(ctx, name)) {
    delete ctx;
    return 0;
  }
  *provctx = ctx;
  *out = kProviderDispatch;
  return 1;
}

}  // namespace qcrypto::prov
