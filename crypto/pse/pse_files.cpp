#include "crypto/pse/pse_files.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/bio/media.h"
#include "crypto/bio/vxsdk_bio.h"
#include "crypto/cadb/cadb_file.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/err/err.h"

namespace qcrypto {
namespace {

enum class Column { File, TouchMemory, Token };

Column column_of(const char* medium) {
  switch (media_kind(medium)) {
    case MediumKind::IButton:
      return Column::TouchMemory;
    case MediumKind::Vexil:
    case MediumKind::VxR2:
      return Column::Token;
    case MediumKind::File:
      break;
  }
  return Column::File;
}

constexpr const char* kNames31[5][3] = {
    {"mk.db3", "mk  .001", "a001"},   {"masks.db3", "mask.001", "b001"}, {"kek.opq", "kek .001", "c001"},
    {"rand.opq", "rand.001", "d001"}, {"keys", "keys", "aaaa"},
};
constexpr const char* kNames30[6][2] = {
    {"num", "num .001"},
    {"uz.db3", "uzam.001"},
    {"gk.db3", "gkgk.001"},
    {"DB\\CRYPT\\ckd.key", "ckd .001"},
    {"DB\\SIGN\\sec_sgn.key", "sksg.001"},
    {"gk.db2", "gkgk.002"},
};

bool medium_fits(const char* medium) {
  return medium != nullptr && strnlen(medium, PSE_MEDIUM_PATH_LIMIT) < PSE_MEDIUM_PATH_LIMIT;
}

#ifdef QCRYPTO_TEST_HOOKS
std::atomic<int> g_fault_at{0};
std::atomic<int> g_fault_kind{0};
std::atomic<int> g_writes{0};

// -1: no fault here; otherwise the fault to act out.
PseWriteFault next_write_fault() {
  const int n = ++g_writes;
  if (n != g_fault_at.load()) return PseWriteFault::None;
  return static_cast<PseWriteFault>(g_fault_kind.load());
}
#endif

}  // namespace

char* PSE_file_path(char* out, const char* medium, int kind) {
  if (out == nullptr || !medium_fits(medium) || kind < 0 || kind > PSE31_KEYS) return nullptr;
  return media_make_path(out, medium, kNames31[kind][static_cast<int>(column_of(medium))], nullptr);
}

char* pse_old_file_path(char* out, const char* medium, int kind) {
  if (out == nullptr || !medium_fits(medium) || kind < 0 || kind > PSE30_BACKUP) return nullptr;
  const int column = column_of(medium) == Column::TouchMemory ? 1 : 0;
  std::string path(medium);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.empty() || path.back() != '\\') path += '\\';
  path += kNames30[kind][column];
  if (path.size() >= PSE_PATH_BUFFER) return nullptr;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return out;
}

char* PSE_keys_dir_path(char* out, const char* medium) { return PSE_file_path(out, medium, PSE31_KEYS); }

char* PSE_key_file_path(char* out, const char* medium, int n) {
  if (n < 1 || PSE_keys_dir_path(out, medium) == nullptr) return nullptr;
  char name[16];
  switch (column_of(medium)) {
    case Column::File:
      std::snprintf(name, sizeof name, "%.8X.key", static_cast<unsigned>(n));
      break;
    case Column::TouchMemory:
      if (n > 999) return nullptr;
      std::snprintf(name, sizeof name, "key .%.3i", n);
      break;
    case Column::Token:
      if (n > 9999) return nullptr;
      std::snprintf(name, sizeof name, "%.4i", n);
      break;
  }
  char dir[PSE_PATH_BUFFER];
  std::memcpy(dir, out, sizeof dir);
  return media_make_path(out, dir, name, nullptr);
}

char* PSE_first_key_path(char* out, const char* medium) { return PSE_key_file_path(out, medium, 1); }

char* PSE_sign_dir_path(const char* medium, char* out) {
  if (out == nullptr || !medium_fits(medium)) return nullptr;
  if (column_of(medium) == Column::TouchMemory) return media_make_path(out, medium, nullptr, nullptr);
  return media_make_path(out, medium, "DB\\SIGN", nullptr);
}

int pse_read_file(const char* path, unsigned char* out, int max) {
  if (path == nullptr || out == nullptr || max < 0) return -1;
  // One byte more than allowed tells an over-long file from a full one.
  std::string buffer(static_cast<std::size_t>(max) + 1, '\0');
  const int got = CADB_read_bytes(path, buffer.data(), max + 1);
  const int result = got < 0 ? -1 : (got > max ? -2 : got);
  if (result > 0) std::memcpy(out, buffer.data(), static_cast<std::size_t>(result));
  OPENSSL_cleanse(buffer.data(), buffer.size());
  return result;
}

int pse_read_exact(const char* path, unsigned char* out, int n) { return pse_read_file(path, out, n) == n ? 1 : 0; }

namespace {

// The whole new content of a token file, created with the protection flag:
// the medium's BIO is told before any byte reaches it.
int write_protected_token_file(const char* path, const unsigned char* bytes, int n) {
  UniquePtr<BIO> bio(media_bio_open(path, "wb", 0, nullptr));
  if (!bio || BIO_ctrl(bio.get(), VXBIO_CTRL_SET_PROTECTION, 1, nullptr) != 1) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_WRITE_FILE);
    return 0;
  }
  int done = 0;
  while (done < n) {
    const int put = BIO_write(bio.get(), bytes + done, n - done);
    if (put <= 0) break;
    done += put;
  }
  if (done != n || BIO_flush(bio.get()) <= 0) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_WRITE_FILE);
    return 0;
  }
  return 1;
}

int write_file(const char* path, const unsigned char* bytes, int n, bool protect) {
  if (path == nullptr || n < 0 || (bytes == nullptr && n > 0)) return 0;
#ifdef QCRYPTO_TEST_HOOKS
  const PseWriteFault fault = next_write_fault();
  if (fault == PseWriteFault::Fail) {
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_WRITE_FILE);
    return 0;
  }
  if (fault == PseWriteFault::Torn || fault == PseWriteFault::Die) {
    CADB_write_file(path, bytes, n / 2, nullptr);
    if (fault == PseWriteFault::Die) ::_exit(86);
    QERR(ERRLIB_PSE, PSE_F_PSE_SAVE_MKEY, PSE_R_WRITE_FILE);
    return 0;
  }
#endif
  // Only the token media know the flag; every other medium writes as usual.
  if (protect && media_is_token(path) == 1) return write_protected_token_file(path, bytes, n);
  if (n == 0) return CADB_write_file(path, bytes, 0, nullptr) == 0 && media_file_size(path) == 0 ? 1 : 0;
  return CADB_write_file(path, bytes, n, nullptr) == n ? 1 : 0;
}

}  // namespace

int pse_write_file(const char* path, const unsigned char* bytes, int n) { return write_file(path, bytes, n, false); }

int pse_write_protected_file(const char* path, const unsigned char* bytes, int n) {
  return write_file(path, bytes, n, true);
}

int pse_wipe_file(const char* path) {
  if (path == nullptr || strnlen(path, MEDIA_PATH_MAX) >= MEDIA_PATH_MAX || !media_exists(path)) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return 0;
  }
#ifdef QCRYPTO_TEST_HOOKS
  const PseWriteFault fault = next_write_fault();
  if (fault == PseWriteFault::Die) ::_exit(86);
  if (fault != PseWriteFault::None) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return 0;
  }
#endif
  if (CADB_erase_file(path, nullptr) != 1) {
    QERR(ERRLIB_PSE, PSE_F_PSE30_READ, ERR_R_INTERNAL);
    return 0;
  }
  return 1;
}

#ifdef QCRYPTO_TEST_HOOKS
void pse_test_set_write_fault(int nth, PseWriteFault fault) {
  g_writes.store(0);
  g_fault_kind.store(static_cast<int>(fault));
  g_fault_at.store(fault == PseWriteFault::None ? 0 : nth);
}
int pse_test_write_count() { return g_writes.load(); }
#endif

}  // namespace qcrypto
