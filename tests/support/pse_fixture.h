// Key containers of both formats on disk for tests, holding protected keys
// of both GOST types.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/pse/pse.h"
#include "tests/support/pse_memory.h"

namespace qcrypto::testing_support {

enum class PseFormat { V31, Old };

struct PseFixtureKey {
  int number = 0;  // key file number
  int type = 0;    // 177 (GOST R 34.10-94) or 181 (GOST R 34.10-2001)
  std::string path;
  UniquePtr<EVP_PKEY> key_pair;  // the key as generated, for verifying
};

struct PseFixture {
  std::string medium;
  PseFormat format = PseFormat::V31;
  bool own_sbox = false;
  int kept_apart = 0;  // 3.1: shares in "masks.db3"
  std::array<unsigned char, 32> master_key{};
  std::array<unsigned char, 32> kek{};
  std::array<unsigned char, 64> sbox{};
  std::vector<PseFixtureKey> keys;  // number 1: GOST R 34.10-2001, 2: GOST R 34.10-94
  UniquePtr<EVP_PKEY> old_key;      // old format: the key of the old signing secret
};

// A container below `medium` (a folder, created). Own S-box applies to the
// old format only (format 3.1 always uses the default cipher set). The
// caller installs a random method first. Null on failure.
std::unique_ptr<PseFixture> make_pse_fixture(const std::string& medium, PseFormat format, bool own_sbox,
                                             int kept_apart = 7);

// The whole content of a file ({} when it cannot be read).
std::vector<unsigned char> read_whole(const std::string& path);
bool write_whole(const std::string& path, const std::vector<unsigned char>& bytes);
bool remove_whole(const std::string& path);

// The container's files and its first key copied from the one `f` made on
// disk to `medium` (any medium the library writes): the key file's path
// there, or empty with `failure` naming the file that could not be copied.
std::string place_pse_container(const PseFixture& f, const char* medium, std::string* failure);

}  // namespace qcrypto::testing_support
