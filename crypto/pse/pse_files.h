// Key containers on key media: the file names of format 3.1 and of the old
// format on each medium, opening either layout into a PSE, key-file names,
// and the file operations the containers use.
//
// Every write goes through pse_write_file: the bytes are on the medium
// (written, flushed and checked) before it reports success, and on the file
// system a failed write leaves the old file as it was.
#pragma once

#include "crypto/pse/pse.h"

namespace qcrypto {

// Format 3.1 file kinds.
enum Pse31Kind : int {
  PSE31_MKEY = 0,   // "mk.db3": the master-key record, less the kept-apart shares
  PSE31_MASKS = 1,  // "masks.db3": the kept-apart shares
  PSE31_KEK = 2,    // "kek.opq": the KEK block
  PSE31_RAND = 3,   // "rand.opq": the saved random state
  PSE31_KEYS = 4,   // "keys": the key folder
};
// Old-format file kinds.
enum Pse30Kind : int {
  PSE30_NUM = 0,      // number/info record, 19 bytes
  PSE30_SBOX = 1,     // S-box record, 454 bytes
  PSE30_MKEY = 2,     // master-key record
  PSE30_KEK = 3,      // KEK record, 42 bytes
  PSE30_SEC_SGN = 4,  // old signing secret, 42 bytes
  PSE30_BACKUP = 5,   // the master-key record kept while it is rewritten
};

constexpr int PSE30_SBOX_RECORD_BYTES = 454;
constexpr int PSE30_SBOX_SHARES = 7;
constexpr int PSE30_KEK_RECORD_BYTES = 42;
constexpr int PSE30_NUM_RECORD_BYTES = 19;
constexpr int PSE30_SEC_SGN_BYTES = 42;
// A medium path this long or longer yields no container path.
constexpr std::size_t PSE_MEDIUM_PATH_LIMIT = 248;
// Room every path builder needs at `out`.
constexpr std::size_t PSE_PATH_BUFFER = 261;

// Path builders: -> out, or null when the medium path is null, too long or
// the kind is out of range. Token media use their own file names.
char* PSE_file_path(char* out, const char* medium, int kind);
char* pse_old_file_path(char* out, const char* medium, int kind);
char* PSE_keys_dir_path(char* out, const char* medium);
char* PSE_key_file_path(char* out, const char* medium, int n);
char* PSE_first_key_path(char* out, const char* medium);
char* PSE_sign_dir_path(const char* medium, char* out);

// Reads at most `max` bytes of a file: the count, -1 when it cannot be
// opened, -2 when it holds more than `max` bytes.
int pse_read_file(const char* path, unsigned char* out, int max);
// Reads a file that must hold exactly `n` bytes: 1 / 0.
int pse_read_exact(const char* path, unsigned char* out, int n);
// The whole new content of a file: 1 once it is safely on the medium, else 0.
int pse_write_file(const char* path, const unsigned char* bytes, int n);
// The same for a file that holds master-key shares: on a token medium the
// file is created with the token's protection flag set.
int pse_write_protected_file(const char* path, const unsigned char* bytes, int n);
// Overwrites the file with zeros and removes it: 1 / 0 (74, 125, 12).
int pse_wipe_file(const char* path);

// Format 3.1.
PSE* PSE31_open(const char* mkey_path, const unsigned char* second, int second_length, const unsigned char* kek_block,
                const unsigned char* sbox);
// Opens the container at `medium`; with `with_rand` and no generator ready,
// seeds the generator (board, else the saved state, else the key-press
// callback of the random layer) and saves a fresh state.
PSE* PSE_open(const char* medium, int with_rand);
void PSE31_close(PSE* container);

// The old format. A process whose generator is not ready yet seeds it from
// the container and rewrites the master-key record with fresh shares; the
// old record is kept as the backup file until the new one has been read
// back, and put back on every failure.
PSE* PSE30_open(const char* medium, const unsigned char* kek_record);
PSE* PSE30_read(const char* medium, const char* mkey_path, const unsigned char* sbox_record,
                const unsigned char* kek_record, const unsigned char* num_record);
int PSE_read_sbox(PSE* container, const unsigned char* record);
int PSE_check_num_info(PSE* container, const unsigned char* record);
int PSE_read_sec_sgn_old(const char* medium, unsigned char* out);

// Errors of the 3.1 opener are raised in library 66.
constexpr int CADB_F_PSE31_OPEN = 231;

#ifdef QCRYPTO_TEST_HOOKS
// What happens at the chosen write.
enum class PseWriteFault {
  None,
  Fail,  // nothing is written, the write fails
  Torn,  // the first half of the bytes becomes the file, the write fails
  Die,   // as Torn, then the process ends at once (no clean-up runs)
};
// Counts the writes (and wipes) from now; the `nth` (1-based) gets `fault`.
void pse_test_set_write_fault(int nth, PseWriteFault fault);
// Writes and wipes counted since the last pse_test_set_write_fault.
int pse_test_write_count();
#endif

}  // namespace qcrypto
