#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "crypto/cclib/locks.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/pse/pse_files.h"
#include "crypto/pse/pse_rand.h"
#include "crypto/rand/mprand.h"
#include "crypto/rand/rand.h"
#include "crypto/rand/rand_device.h"
#include "crypto/rus/gost28147.h"

namespace qcrypto {
namespace {

// A heap buffer for records that hold shares: wiped when it goes.
class SecretBytes {
 public:
  explicit SecretBytes(std::size_t n) : bytes_(n) {}
  ~SecretBytes() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  unsigned char* data() { return bytes_.data(); }
  int size() const { return static_cast<int>(bytes_.size()); }

 private:
  std::vector<unsigned char> bytes_;
};

char* dup_text(const char* text) { return OPENSSL_strdup(text); }

// Holds the cross-process random mutex while a container's random state is
// read or written, when the mutex can be had.
class RandomMutexHold {
 public:
  RandomMutexHold() : held_(mprand_mutex_create() == 1 && mprand_lock() == 1) {}
  ~RandomMutexHold() {
    if (held_) mprand_unlock();
  }
  RandomMutexHold(const RandomMutexHold&) = delete;
  RandomMutexHold& operator=(const RandomMutexHold&) = delete;

 private:
  bool held_;
};

// Seeds the generator for a 3.1 container that is being opened: a board,
// else the saved state, else the key-press callback; then a fresh state is
// saved in "rand.opq".
bool seed_from_container(PSE* container, const char* medium) {
  PSE_rand_cleanup();
  if (PSE_rand_seed_from_device(nullptr) == 1) return true;
  ERR_clear_error();
  char path[PSE_PATH_BUFFER];
  if (PSE_file_path(path, medium, PSE31_RAND) == nullptr) return false;
  unsigned char block[PSE_OPAQUE_BLOCK_BYTES] = {};
  {
    RandomMutexHold hold;
    if (pse_read_exact(path, block, PSE_OPAQUE_BLOCK_BYTES) != 1) std::memset(block, 0, sizeof block);
  }
  bool ok = PSE_rand_init(container, block, nullptr, mprand_key_callback, nullptr) == 1 &&
            PSE_rand_save_state(container, block) == 1;
  if (ok) {
    RandomMutexHold hold;
    ok = pse_write_file(path, block, PSE_OPAQUE_BLOCK_BYTES) == 1;
  }
  if (!ok) PSE_rand_cleanup();
  return ok;
}

// Reads a master-key record file whole (the old format reads it share by
// share; a record of another length is refused here as there).
int read_mkey_file(const char* path, SecretBytes& record) { return pse_read_file(path, record.data(), record.size()); }

}  // namespace

int PSE_save_mkey(const char* path, const unsigned char* master_key, unsigned char* second, int* length,
                  const unsigned char* sbox) {
  int k = 0;
  if (second != nullptr && length != nullptr && *length > 0) k = *length / PSE_KEY_BYTES;
  if (k > PSE_MKEY_MAX_KEPT_APART) k = PSE_MKEY_MAX_KEPT_APART;
  if (length != nullptr) *length = 0;
  if (path == nullptr || master_key == nullptr || length == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBuffer<PSE_MKEY_RECORD_BYTES> record;
  int n = PSE_MKEY_RECORD_BYTES;
  const int in_file = PSE_MKEY_RECORD_BYTES - PSE_KEY_BYTES * k;
  if (PSE_make_mkey_record(master_key, PSE_MKEY_SHARES, record.data(), &n, sbox) != 1 ||
      pse_write_protected_file(path, record.data(), in_file) != 1) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  if (k > 0)
    std::memcpy(second, record.data() + in_file, static_cast<std::size_t>(PSE_KEY_BYTES) * static_cast<std::size_t>(k));
  *length = PSE_KEY_BYTES * k;
  return 1;
}

int PSE_load_mkey_parts(unsigned char* out, const unsigned char* first, int first_length, const unsigned char* second,
                        int second_length, const unsigned char* sbox) {
  if (out != nullptr) OPENSSL_cleanse(out, PSE_KEY_BYTES);
  if (out == nullptr || first == nullptr || first_length < 2 || second_length < 0 ||
      (second == nullptr && second_length > 0) || first[0] != PSE_MKEY_TAG) {
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  // The kept-apart shares are whole shares of this record and leave the file
  // its header: anything else would be placed past the record's end.
  const int n = first[1];
  const int total = PSE_MKEY_HEADER_BYTES + PSE_KEY_BYTES * n;
  if (second_length % PSE_KEY_BYTES != 0 || second_length > PSE_KEY_BYTES * n ||
      first_length != total - second_length) {
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_INVALID_FORMAT);
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBytes record(static_cast<std::size_t>(total));
  std::memcpy(record.data(), first, static_cast<std::size_t>(first_length));
  if (second_length > 0) std::memcpy(record.data() + first_length, second, static_cast<std::size_t>(second_length));
  return PSE_load_mkey(out, record.data(), total, sbox);
}

int pse_read_record(const char* path, unsigned char* out, const unsigned char* second, int second_length,
                    const unsigned char* sbox) {
  if (out != nullptr) OPENSSL_cleanse(out, PSE_KEY_BYTES);
  if (path == nullptr || out == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, PSE_R_PSE_LIB);
    return 0;
  }
  SecretBytes record(PSE_MKEY_MAX_RECORD_BYTES);
  const int got = pse_read_file(path, record.data(), record.size());
  if (got < 0) {
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, got == -2 ? PSE_R_INVALID_FORMAT : PSE_R_READ_FILE);
    return 0;
  }
  return PSE_load_mkey_parts(out, record.data(), got, second, second_length, sbox);
}

PSE* PSE_init(const char* path, const unsigned char* second, int second_length, const unsigned char* sbox) {
  CryptoLockGuard g(CRYPTO_LOCK_PSE);
  UniquePtr<PSE> container(PSE_new());
  bool ok = container != nullptr;
  if (ok) {
    container->sbox = PSE_ENTRY_set(sbox != nullptr ? sbox : GOSTE_get_default_sbox(), PSE_SBOX_BYTES);
    container->master_key = PSE_ENTRY_set(nullptr, PSE_KEY_BYTES);
    ok = container->sbox != nullptr && container->master_key != nullptr &&
         pse_read_record(path, container->master_key->data, second, second_length, container->sbox->data) == 1;
  }
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE_INIT, PSE_R_PSE_LIB);
    return nullptr;
  }
  return container.release();
}

PSE* PSE31_open(const char* mkey_path, const unsigned char* second, int second_length, const unsigned char* kek_block,
                const unsigned char* sbox) {
  UniquePtr<PSE> container(PSE_init(mkey_path, second, second_length, sbox));
  if (!container || PSE_load_kek(container.get(), kek_block) != 1) {
    QERR(ERRLIB_CADB, CADB_F_PSE31_OPEN, ERR_R_INTERNAL);
    return nullptr;
  }
  return container.release();
}

PSE* PSE_open(const char* medium, int with_rand) {
  const RAND_METHOD* remembered = RAND_get_rand_method();
  char mk[PSE_PATH_BUFFER], masks[PSE_PATH_BUFFER], kek[PSE_PATH_BUFFER];
  SecretBuffer<PSE_KEY_BYTES * PSE_MKEY_MAX_KEPT_APART> shares;
  SecretBuffer<PSE_OPAQUE_BLOCK_BYTES> block;
  UniquePtr<PSE> container;
  bool ok = PSE_file_path(mk, medium, PSE31_MKEY) != nullptr && PSE_file_path(masks, medium, PSE31_MASKS) != nullptr &&
            PSE_file_path(kek, medium, PSE31_KEK) != nullptr;
  int kept_apart = -1;
  if (ok) kept_apart = pse_read_file(masks, shares.data(), static_cast<int>(shares.size()));
  if (kept_apart < 0) {
    // More than seven shares cannot belong to an 8-share record.
    QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_MKEY, kept_apart == -2 ? PSE_R_INVALID_FORMAT : PSE_R_READ_FILE);
    ok = false;
  }
  if (ok) {
    const int got = pse_read_file(kek, block.data(), PSE_OPAQUE_BLOCK_BYTES);
    if (got != PSE_OPAQUE_BLOCK_BYTES) {
      QERR(ERRLIB_PSE, PSE_F_PSE_LOAD_KEK, got == -1 ? PSE_R_READ_FILE : PSE_R_INVALID_FORMAT);
      ok = false;
    }
  }
  if (ok) container.reset(PSE31_open(mk, shares.data(), kept_apart, block.data(), nullptr));
  ok = container != nullptr && (container->path = dup_text(medium)) != nullptr;
  if (ok && with_rand != 0 && PSE_rand_ready() == 0) ok = seed_from_container(container.get(), medium);
  if (!ok) {
    QERR(ERRLIB_CADB, CADB_F_PSE31_OPEN, ERR_R_INTERNAL);
    if (RAND_get_rand_method() == nullptr) RAND_set_rand_method(remembered);
    return nullptr;
  }
  return container.release();
}

void PSE31_close(PSE* container) { PSE_close(container); }

int PSE_read_sbox(PSE* container, const unsigned char* record) {
  if (container == nullptr || record == nullptr || record[0] != 0x40 || record[1] != PSE30_SBOX_SHARES) {
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_SBOX, ERR_R_INTERNAL);
    return 0;
  }
  unsigned char sbox[PSE_SBOX_BYTES] = {};
  for (int s = 0; s < PSE30_SBOX_SHARES; ++s) {
    const unsigned char* share = record + 6 + PSE_SBOX_BYTES * s;
    for (int i = 0; i < PSE_SBOX_BYTES; ++i) sbox[i] ^= share[i];
  }
  PSE_ENTRY* entry = PSE_ENTRY_set(sbox, PSE_SBOX_BYTES);
  OPENSSL_cleanse(sbox, sizeof sbox);
  if (entry == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_SBOX, ERR_R_INTERNAL);
    return 0;
  }
  PSE_ENTRY_free(container->sbox);
  container->sbox = entry;
  return 1;
}

int PSE_check_num_info(PSE* container, const unsigned char* record) {
  if (container == nullptr || record == nullptr || container->master_key == nullptr || container->sbox == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE_CHECK_NUM_INFO, PSE_R_PSE_LIB);
    return 0;
  }
  if (record[0] != PSE_MKEY_TAG) {
    QERR(ERRLIB_PSE, PSE_F_PSE_CHECK_NUM_INFO, PSE_R_INVALID_FORMAT);
    return 0;
  }
  unsigned char mac[4];
  GOSTE_CTX ctx{};
  const bool ran = GOSTE_mac(&ctx, record, 15, container->master_key->data, container->sbox->data, mac) != nullptr;
  GOSTE_clear(&ctx);
  if (!ran || CRYPTO_memcmp(mac, record + 15, 4) != 0) {
    QERR(ERRLIB_PSE, PSE_F_PSE_CHECK_NUM_INFO, PSE_R_INVALID_MAC);
    return 0;
  }
  return 1;
}

PSE* PSE30_read(const char* medium, const char* mkey_path, const unsigned char* sbox_record,
                const unsigned char* kek_record, const unsigned char* num_record) {
  if (medium == nullptr || mkey_path == nullptr || sbox_record == nullptr || kek_record == nullptr ||
      num_record == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  char backup[PSE_PATH_BUFFER];
  if (pse_old_file_path(backup, medium, PSE30_BACKUP) == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  UniquePtr<PSE> container(PSE_new());
  if (!container || PSE_read_sbox(container.get(), sbox_record) != 1 ||
      (container->master_key = PSE_ENTRY_set(nullptr, PSE_KEY_BYTES)) == nullptr) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  const unsigned char* sbox = container->sbox->data;
  unsigned char* master_key = container->master_key->data;
  // The record that checks: the master-key file, or, when a rewrite of it
  // was cut short, the backup that rewrite left behind.
  SecretBytes record(PSE_MKEY_MAX_RECORD_BYTES);
  int length = read_mkey_file(mkey_path, record);
  bool from_backup = false;
  if (PSE_load_mkey(master_key, record.data(), length, sbox) != 1) {
    length = read_mkey_file(backup, record);
    if (PSE_load_mkey(master_key, record.data(), length, sbox) != 1) {
      QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
      return nullptr;
    }
    from_backup = true;
  }
  if (kek_record[0] != PSE_MKEY_TAG || PSE_load_kek(container.get(), kek_record + PSE_OLD_KEY_BLOCK_OFFSET) != 1 ||
      PSE_check_num_info(container.get(), num_record) != 1) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  if (PSE_rand_ready() == 1) {
    // The generator is ready: no rewrite, but a record recovered from the
    // backup goes back in place.
    if (from_backup && pse_write_file(mkey_path, record.data(), length) == 1) pse_wipe_file(backup);
    return container.release();
  }
  // Refresh: seed the generator from the first share, then give the record
  // fresh shares. The record that checked is kept as the backup until the
  // new one has been read back.
  SecretBuffer<PSE_OPAQUE_BLOCK_BYTES> block;
  bool ok = PSE_write_opaque(container.get(), record.data() + PSE_MKEY_HEADER_BYTES, block.data()) != nullptr &&
            PSE_rand_init(container.get(), block.data(), nullptr, nullptr, nullptr) == 1;
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  ok = pse_write_file(backup, record.data(), length) == 1;
  if (ok) {
    int none = 0;
    SecretBuffer<PSE_KEY_BYTES> reread;
    // Written and checked under the container's own S-box, which is what
    // every later open checks it with.
    ok = PSE_save_mkey(mkey_path, master_key, nullptr, &none, sbox) == 1 &&
         pse_read_record(mkey_path, reread.data(), nullptr, 0, sbox) == 1 &&
         CRYPTO_memcmp(reread.data(), master_key, PSE_KEY_BYTES) == 0;
    // The old record goes back in place; should even that fail, the backup
    // stays and the next open recovers from it.
    if (!ok && pse_write_file(mkey_path, record.data(), length) == 1) pse_wipe_file(backup);
  }
  if (!ok) {
    PSE_rand_cleanup();
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return nullptr;
  }
  if (pse_wipe_file(backup) != 1) QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
  return container.release();
}

PSE* PSE30_open(const char* medium, const unsigned char* kek_record) {
  unsigned char sbox_record[PSE30_SBOX_RECORD_BYTES];
  unsigned char num_record[PSE30_NUM_RECORD_BYTES];
  SecretBuffer<PSE30_KEK_RECORD_BYTES> own_kek;
  char path[PSE_PATH_BUFFER], mkey[PSE_PATH_BUFFER];
  bool ok = pse_old_file_path(path, medium, PSE30_SBOX) != nullptr &&
            pse_read_exact(path, sbox_record, PSE30_SBOX_RECORD_BYTES) == 1 &&
            pse_old_file_path(path, medium, PSE30_NUM) != nullptr &&
            pse_read_exact(path, num_record, PSE30_NUM_RECORD_BYTES) == 1 &&
            pse_old_file_path(mkey, medium, PSE30_MKEY) != nullptr;
  if (ok && kek_record == nullptr) {
    ok = pse_old_file_path(path, medium, PSE30_KEK) != nullptr &&
         pse_read_exact(path, own_kek.data(), PSE30_KEK_RECORD_BYTES) == 1;
    kek_record = own_kek.data();
  }
  if (!ok) QERR(ERRLIB_PSE, PSE_F_PSE30_OPEN, ERR_R_INTERNAL);
  UniquePtr<PSE> container(ok ? PSE30_read(medium, mkey, sbox_record, kek_record, num_record) : nullptr);
  ok = container != nullptr && (container->path = dup_text(medium)) != nullptr;
  OPENSSL_cleanse(sbox_record, sizeof sbox_record);
  if (!ok) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_OPEN, ERR_R_INTERNAL);
    return nullptr;
  }
  return container.release();
}

int PSE_read_sec_sgn_old(const char* medium, unsigned char* out) {
  char path[PSE_PATH_BUFFER];
  if (out == nullptr || pse_old_file_path(path, medium, PSE30_SEC_SGN) == nullptr ||
      pse_read_exact(path, out, PSE30_SEC_SGN_BYTES) != 1) {
    if (out != nullptr) OPENSSL_cleanse(out, PSE30_SEC_SGN_BYTES);
    QERR(ERRLIB_PSE, PSE_F_PSE_READ_SEC_SGN_OLD, ERR_R_INTERNAL);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
