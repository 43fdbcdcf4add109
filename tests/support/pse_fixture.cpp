#include "tests/support/pse_fixture.h"

#include <openssl/bn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crypto/bio/media.h"
#include "crypto/bn/bn_owner.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/ecgost/ecgost.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/pse/pse_files.h"
#include "crypto/r3410/r3410.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost28147.h"
#include "crypto/x509/gost_keys.h"
#include "platform/codepage/native_path.h"
#include "tests/support/gost_pki.h"

namespace qcrypto::testing_support {
namespace {

using Bytes = std::vector<unsigned char>;

std::string native(const char* path) { return platform::native_path(path).value_or(std::string()); }

bool write_at(const char* path, const Bytes& bytes) {
  return pse_write_file(path, bytes.data(), static_cast<int>(bytes.size())) == 1;
}

// The key's DER with its private number sealed by the container: the block
// as the number, its MAC as the tag (old containers may also keep the
// number's bytes reversed).
template <class Key>
Bytes protected_der(Key* key, BIGNUM*& number, PSE* container, int (*i2d)(const Key*, unsigned char**)) {
  unsigned char plain[32], block[36];
  if (BN_bn2binpad(number, plain, 32) != 32 || PSE_write_opaque(container, plain, block) == nullptr) return {};
  OPENSSL_cleanse(plain, sizeof plain);
  BIGNUM* saved = number;
  number = BN_bin2bn(block, 32, nullptr);
  key->tag = BN_bin2bn(block + 32, 4, nullptr);
  unsigned char* der = nullptr;
  const int n = i2d(key, &der);
  BN_clear_free(number);
  BN_free(key->tag);
  key->tag = nullptr;
  number = saved;
  if (n <= 0) return {};
  Bytes out(der, der + n);
  OPENSSL_clear_free(der, static_cast<size_t>(n));
  return out;
}

Bytes sealed_der(EVP_PKEY* pair, PSE* container) {
  if (R3410* r = evp_pkey_get0_r3410(pair)) return protected_der<R3410>(r, r->x, container, i2d_R3410PrivateKey);
  if (ECGOST* e = evp_pkey_get0_ecgost(pair)) return protected_der<ECGOST>(e, e->d, container, i2d_ECGOSTPrivateKey);
  return {};
}

bool add_keys(PseFixture& f, PSE* container, const char* key_dir) {
  const struct {
    int number;
    int type;
    test_support::GostKeyType kind;
  } plan[] = {{1, 181, test_support::GostKeyType::kEcr3410}, {2, 177, test_support::GostKeyType::kR3410}};
  for (const auto& p : plan) {
    PseFixtureKey key;
    key.number = p.number;
    key.type = p.type;
    key.key_pair.reset(test_support::gost_new_key(p.kind));
    if (!key.key_pair) return false;
    char name[16];
    std::snprintf(name, sizeof name, "%.8X.key", static_cast<unsigned>(p.number));
    char path[PSE_PATH_BUFFER];
    media_make_path(path, key_dir, name, nullptr);
    key.path = path;
    const Bytes der = sealed_der(key.key_pair.get(), container);
    if (der.empty() || !write_at(path, der)) return false;
    f.keys.push_back(std::move(key));
  }
  return true;
}

}  // namespace

std::unique_ptr<PseFixture> make_pse_fixture(const std::string& medium, PseFormat format, bool own_sbox,
                                             int kept_apart) {
  auto f = std::make_unique<PseFixture>();
  f->medium = medium;
  f->format = format;
  f->own_sbox = format == PseFormat::Old && own_sbox;
  f->kept_apart = format == PseFormat::V31 ? kept_apart : 0;
  std::error_code ec;
  std::filesystem::create_directories(native(medium.c_str()), ec);
  if (RAND_bytes(f->master_key.data(), 32) != 32 || RAND_bytes(f->kek.data(), 32) != 32) return nullptr;
  // An own S-box: the hash's default set, which differs from the cipher's.
  std::memcpy(f->sbox.data(), f->own_sbox ? GOSTH_get_default_sbox() : GOSTE_get_default_sbox(), 64);

  UniquePtr<PSE> container(PSE_new());
  if (!container || !set_entry(&container->sbox, f->sbox.data(), 64) ||
      !set_entry(&container->master_key, f->master_key.data(), 32) || !set_entry(&container->kek, f->kek.data(), 32))
    return nullptr;
  unsigned char kek_block[36];
  if (PSE_encrypt32(f->kek.data(), kek_block, f->master_key.data(), f->sbox.data()) != 1) return nullptr;
  char path[PSE_PATH_BUFFER];

  if (format == PseFormat::V31) {
    unsigned char masks[32 * 7] = {};
    int n = 32 * kept_apart;
    if (PSE_file_path(path, medium.c_str(), PSE31_MKEY) == nullptr ||
        PSE_save_mkey(path, f->master_key.data(), masks, &n, nullptr) != 1 ||
        PSE_file_path(path, medium.c_str(), PSE31_MASKS) == nullptr || !write_at(path, Bytes(masks, masks + n)) ||
        PSE_file_path(path, medium.c_str(), PSE31_KEK) == nullptr || !write_at(path, Bytes(kek_block, kek_block + 36)))
      return nullptr;
    OPENSSL_cleanse(masks, sizeof masks);
    char keys[PSE_PATH_BUFFER];
    if (PSE_keys_dir_path(keys, medium.c_str()) == nullptr || !add_keys(*f, container.get(), keys)) return nullptr;
    return f;
  }

  // Old format: S-box record of seven shares, master-key record, KEK record,
  // number record, the old signing secret and key files in the sign folder.
  Bytes sbox_record(PSE30_SBOX_RECORD_BYTES);
  sbox_record[0] = 0x40;
  sbox_record[1] = 7;
  if (RAND_bytes(sbox_record.data() + 2, PSE30_SBOX_RECORD_BYTES - 2) != PSE30_SBOX_RECORD_BYTES - 2) return nullptr;
  unsigned char* last = sbox_record.data() + 6 + 64 * 6;
  std::memcpy(last, f->sbox.data(), 64);
  for (int s = 0; s < 6; ++s)
    for (int i = 0; i < 64; ++i) last[i] ^= sbox_record[6 + 64 * s + i];
  Bytes mkey(PSE_MKEY_RECORD_BYTES);
  int n = PSE_MKEY_RECORD_BYTES;
  if (PSE_make_mkey_record(f->master_key.data(), 8, mkey.data(), &n, f->sbox.data()) != 1) return nullptr;
  Bytes kek_record(PSE30_KEK_RECORD_BYTES, 0);
  kek_record[0] = 0x22;
  std::copy(kek_block, kek_block + 36, kek_record.begin() + 6);
  Bytes num(PSE30_NUM_RECORD_BYTES);
  num[0] = 0x22;
  for (int i = 1; i < 15; ++i) num[static_cast<size_t>(i)] = static_cast<unsigned char>('0' + i % 10);
  if (GOSTE_mac(nullptr, num.data(), 15, f->master_key.data(), f->sbox.data(), num.data() + 15) == nullptr)
    return nullptr;
  // The old signing secret: an R3410 number stored least significant byte first.
  f->old_key.reset(test_support::gost_new_key(test_support::GostKeyType::kR3410));
  R3410* old = f->old_key ? evp_pkey_get0_r3410(f->old_key.get()) : nullptr;
  unsigned char x[32];
  Bytes sec(PSE30_SEC_SGN_BYTES, 0);
  if (old == nullptr || BN_bn2binpad(old->x, x, 32) != 32) return nullptr;
  std::reverse(x, x + 32);
  const bool sealed = PSE_write_opaque(container.get(), x, sec.data() + 6) != nullptr;
  OPENSSL_cleanse(x, sizeof x);
  sec[0] = 0x22;
  const struct {
    int kind;
    const Bytes* bytes;
  } files[] = {{PSE30_SBOX, &sbox_record},
               {PSE30_MKEY, &mkey},
               {PSE30_KEK, &kek_record},
               {PSE30_NUM, &num},
               {PSE30_SEC_SGN, &sec}};
  for (const auto& file : files) {
    if (!sealed || pse_old_file_path(path, medium.c_str(), file.kind) == nullptr || !write_at(path, *file.bytes))
      return nullptr;
  }
  OPENSSL_cleanse(mkey.data(), mkey.size());
  char sign_dir[PSE_PATH_BUFFER];
  if (PSE_sign_dir_path(medium.c_str(), sign_dir) == nullptr || !add_keys(*f, container.get(), sign_dir))
    return nullptr;
  return f;
}

std::vector<unsigned char> read_whole(const std::string& path) {
  std::ifstream in(native(path.c_str()), std::ios::binary);
  if (!in) return {};
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_whole(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(native(path.c_str()), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string place_pse_container(const PseFixture& f, const char* medium, std::string* failure) {
  const auto copy = [&](const std::string& from, const char* to) {
    const std::vector<unsigned char> bytes = read_whole(from);
    if (!bytes.empty() && to != nullptr &&
        CADB_write_file(to, bytes.data(), static_cast<int>(bytes.size()), nullptr) == static_cast<int>(bytes.size()))
      return true;
    if (failure != nullptr) *failure = from + " -> " + (to != nullptr ? to : "(no path)");
    return false;
  };
  char from[PSE_PATH_BUFFER];
  char to[PSE_PATH_BUFFER];
  for (int kind : {PSE31_MKEY, PSE31_MASKS, PSE31_KEK}) {
    const char* source = PSE_file_path(from, f.medium.c_str(), kind);
    if (source == nullptr || !copy(source, PSE_file_path(to, medium, kind))) return {};
  }
  if (f.keys.empty() || !copy(f.keys.front().path, PSE_key_file_path(to, medium, f.keys.front().number))) return {};
  return to;
}

bool remove_whole(const std::string& path) {
  std::error_code ec;
  return std::filesystem::remove(native(path.c_str()), ec);
}

}  // namespace qcrypto::testing_support
