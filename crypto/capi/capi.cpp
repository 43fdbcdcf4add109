// Signing a digest through a provider-held key.
#include "crypto/capi/capi.h"

#include <mutex>
#include <vector>

#include "crypto/asn1/der_rs.h"
#include "crypto/capi/capi_abi.h"
#include "crypto/cclib/locks.h"
#include "platform/dynlib.h"

namespace qcrypto {
namespace {

using namespace capi_abi;

constexpr int kRusHashType = 176;

// The driver library's four calls behind the interface.
class DriverProvider final : public CapiProvider {
 public:
  bool load() {
    if (!lib_.open(kLibraryName)) return false;
    void* slots[4] = {};
    if (!lib_.bind_all(kExportNames, slots, 4)) return false;
    create_ = reinterpret_cast<CryptCreateHash_fn>(slots[0]);
    set_ = reinterpret_cast<CryptSetHashParam_fn>(slots[1]);
    sign_ = reinterpret_cast<CryptSignHashA_fn>(slots[2]);
    destroy_ = reinterpret_cast<CryptDestroyHash_fn>(slots[3]);
    return true;
  }

  bool create_hash(std::uintptr_t provider, std::uint32_t alg_id, Hash* hash) override {
    return create_(provider, alg_id, 0, 0, hash) != 0;
  }
  bool set_hash_value(Hash hash, const unsigned char* digest) override {
    return set_(hash, HP_HASHVAL, digest, 0) != 0;
  }
  bool sign_hash(Hash hash, std::uint32_t key_spec, unsigned char* signature, std::uint32_t* length) override {
    return sign_(hash, key_spec, nullptr, 0, signature, length) != 0;
  }
  bool destroy_hash(Hash hash) override { return destroy_(hash) != 0; }

 private:
  platform::DynLib lib_;
  CryptCreateHash_fn create_ = nullptr;
  CryptSetHashParam_fn set_ = nullptr;
  CryptSignHashA_fn sign_ = nullptr;
  CryptDestroyHash_fn destroy_ = nullptr;
};

std::mutex g_provider_mutex;
std::shared_ptr<CapiProvider> g_provider;

// The provider's hash object, destroyed once whatever happens after it exists.
class HashObject {
 public:
  explicit HashObject(CapiProvider& calls) : calls_(calls) {}
  ~HashObject() {
    if (created_) calls_.destroy_hash(hash_);
  }
  HashObject(const HashObject&) = delete;
  HashObject& operator=(const HashObject&) = delete;

  bool create(std::uintptr_t provider, std::uint32_t alg_id) {
    created_ = calls_.create_hash(provider, alg_id, &hash_);
    return created_;
  }
  CapiProvider::Hash get() const { return hash_; }
  // Destroys now; false when the provider refuses.
  bool destroy() {
    created_ = false;
    return calls_.destroy_hash(hash_);
  }

 private:
  CapiProvider& calls_;
  CapiProvider::Hash hash_ = 0;
  bool created_ = false;
};

}  // namespace

std::uint32_t capi_alg_id(int digest_type) {
  switch (digest_type) {
    case 4:
      return CALG_MD5;
    case 41:
    case 64:
      return CALG_SHA1;
    case 114:
      return CALG_SSL3_SHAMD5;
    case kRusHashType:
      return CAPI_CALG_RUS_HASH;
    default:
      return 0;
  }
}

int capi_digest_size(std::uint32_t alg_id) {
  switch (alg_id) {
    case CALG_MD5:
      return 16;
    case CALG_SHA1:
      return 20;
    case CALG_SSL3_SHAMD5:
      return 36;
    case CAPI_CALG_RUS_HASH:
      return 32;
    default:
      return 0;
  }
}

std::shared_ptr<CapiProvider> capi_default_provider() {
  std::lock_guard<std::mutex> lock(g_provider_mutex);
  if (g_provider == nullptr) {
    auto driver = std::make_shared<DriverProvider>();
    if (driver->load()) g_provider = std::move(driver);
  }
  return g_provider;
}

void capi_release_default_provider() {
  std::lock_guard<std::mutex> lock(g_provider_mutex);
  g_provider.reset();
}

int capi_sign_digest_with(CapiProvider& calls, std::uintptr_t provider, std::uint32_t key_spec, int digest_type,
                          const unsigned char* digest, int digest_length, unsigned char* signature,
                          unsigned int capacity, unsigned int* signature_length) {
  if (signature_length != nullptr) *signature_length = 0;
  if (digest == nullptr || signature == nullptr || signature_length == nullptr) return -1;
  const std::uint32_t alg_id = capi_alg_id(digest_type);
  if (alg_id == 0) return 0;
  // The provider reads as many bytes as its algorithm's digest has.
  if (digest_length != capi_digest_size(alg_id)) return -1;

  HashObject hash(calls);
  if (!hash.create(provider, alg_id) || !calls.set_hash_value(hash.get(), digest)) return -1;
  std::uint32_t needed = 0;
  if (!calls.sign_hash(hash.get(), key_spec, nullptr, &needed)) return -1;
  // A signature larger than the caller's room is refused before the provider
  // writes anything.
  if (needed == 0 || needed > capacity || needed > 0x7fffffffu) return -1;
  std::uint32_t written = needed;
  if (!calls.sign_hash(hash.get(), key_spec, signature, &written)) return -1;
  // A provider that claims more than the room it was given has written past
  // it or lies; neither answer is a signature.
  if (written == 0 || written > needed) return -1;
  if (!hash.destroy()) return -1;
  CCLIB_reverse(signature, static_cast<int>(written));
  *signature_length = written;
  return static_cast<int>(written);
}

int capi_sign_digest(std::uintptr_t provider, std::uint32_t key_spec, int digest_type, const unsigned char* digest,
                     int digest_length, unsigned char* signature, unsigned int capacity,
                     unsigned int* signature_length) {
  if (signature_length != nullptr) *signature_length = 0;
  if (digest == nullptr || signature == nullptr || signature_length == nullptr) return -1;
  if (capi_alg_id(digest_type) == 0) return 0;
  const std::shared_ptr<CapiProvider> calls = capi_default_provider();
  if (calls == nullptr) return -1;
  return capi_sign_digest_with(*calls, provider, key_spec, digest_type, digest, digest_length, signature, capacity,
                               signature_length);
}

int capi_sign_rs(std::uintptr_t provider, std::uint32_t key_spec, const unsigned char* digest, int digest_length,
                 unsigned int capacity, const BIGNUM* q, BIGNUM* r, BIGNUM* s) {
  if (q == nullptr || r == nullptr || s == nullptr || capacity == 0) return 0;
  std::vector<unsigned char> der(capacity);
  unsigned int length = 0;
  if (capi_sign_digest(provider, key_spec, kRusHashType, digest, digest_length, der.data(), capacity, &length) <= 0) {
    return 0;
  }
  const unsigned char* p = der.data();
  if (!der_rs_get(&p, static_cast<long>(length), r, s) || p != der.data() + length) return 0;
  const auto in_range = [q](const BIGNUM* v) { return !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, q) < 0; };
  return in_range(r) && in_range(s) ? 1 : 0;
}

}  // namespace qcrypto
