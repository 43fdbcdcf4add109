// Key containers: key blocks, the master-key record, file names, both
// formats on disk, hostile files, and the old format's refresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "crypto/pkey/key_envelope.h"
#include "crypto/prov/gost_pkey.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand_device.h"
#include "crypto/rus/gost28147.h"
#include "crypto/rus/gost3411.h"
#include "tests/crypto/pse/pse_test_util.h"
#include "tests/support/pse_fixture.h"

namespace qcrypto {
namespace {

using namespace pse_test;
using testing_support::make_pse_fixture;
using testing_support::PseFixture;
using testing_support::PseFormat;
using testing_support::read_whole;
using testing_support::write_whole;

class PseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ERR_load_crypto_strings(); }
  void SetUp() override {
    RAND_set_rand_method(&kSystemRand);
    ERR_clear_error();
  }
  void TearDown() override {
    pse_test_set_write_fault(0, PseWriteFault::None);
    RAND_set_rand_method(nullptr);
  }
  std::string file(const PseFixture& f, int kind) {
    char path[PSE_PATH_BUFFER];
    if (f.format == PseFormat::V31) return PSE_file_path(path, f.medium.c_str(), kind);
    return pse_old_file_path(path, f.medium.c_str(), kind);
  }
  Scratch scratch_;
};

Bytes random_bytes(int n) {
  Bytes b(static_cast<size_t>(n));
  test_support::kernel_random_bytes(b.data(), n);
  return b;
}

// The block is the simple-substitution encryption of the value followed by
// the MAC of the plain value; any changed byte is caught.
TEST_F(PseTest, KeyBlockLayoutAndEveryTamperedByte) {
  for (const unsigned char* sbox : {GOSTE_get_default_sbox(), GOSTH_get_default_sbox()}) {
    const Bytes key = random_bytes(32), plain = random_bytes(32);
    Bytes block(36), back(32);
    ASSERT_EQ(PSE_encrypt32(plain.data(), block.data(), key.data(), sbox), 1);
    unsigned char mac[4];
    ASSERT_NE(GOSTE_mac(nullptr, plain.data(), 32, key.data(), sbox, mac), nullptr);
    EXPECT_EQ(Bytes(block.begin() + 32, block.end()), Bytes(mac, mac + 4));
    GOSTE_CTX ctx{};
    ASSERT_EQ(GOSTE_ss_init(&ctx, 0, key.data(), sbox), 1);
    ASSERT_EQ(GOSTE_ss_cipher(&ctx, block.data(), back.data(), 32), 32);
    GOSTE_clear(&ctx);
    EXPECT_EQ(back, plain);
    ASSERT_EQ(PSE_decrypt32(block.data(), back.data(), key.data(), sbox), 1);
    EXPECT_EQ(back, plain);
    for (size_t at = 0; at < 36; ++at) {
      Bytes bad = block;
      bad[at] ^= 0x10;
      std::fill(back.begin(), back.end(), 0xEE);
      EXPECT_EQ(PSE_decrypt32(bad.data(), back.data(), key.data(), sbox), 0) << at;
      EXPECT_EQ(back, Bytes(32, 0xEE)) << "a refused value is never handed out, byte " << at;
      EXPECT_EQ(drain(), (std::vector<Err>{{74, 104, 100}, {74, 104, 74}}));
    }
  }
}

TEST_F(PseTest, MasterKeyRecordShares) {
  const Bytes master = random_bytes(32);
  for (int n : {1, 2, 8, 255}) {
    int length = 0;
    ASSERT_EQ(PSE_make_mkey_record(master.data(), n, nullptr, &length, nullptr), 1);
    ASSERT_EQ(length, 32 * n + 6);
    Bytes record(static_cast<size_t>(length));
    ASSERT_EQ(PSE_make_mkey_record(master.data(), n, record.data(), &length, nullptr), 1);
    EXPECT_EQ(record[0], 0x22);
    EXPECT_EQ(record[1], n);
    Bytes x(32, 0);
    for (int s = 0; s < n; ++s)
      for (int i = 0; i < 32; ++i)
        x[static_cast<size_t>(i)] ^= record[6 + 32 * static_cast<size_t>(s) + static_cast<size_t>(i)];
    EXPECT_EQ(x, master) << n;
    if (n == 1) {
      EXPECT_EQ(Bytes(record.begin() + 6, record.end()), master);
    }
    Bytes out(32);
    ASSERT_EQ(PSE_load_mkey(out.data(), record.data(), length, nullptr), 1);
    EXPECT_EQ(out, master);
    // Another S-box checks another value.
    EXPECT_EQ(PSE_load_mkey(out.data(), record.data(), length, GOSTH_get_default_sbox()), 0);
    EXPECT_EQ(out, Bytes(32, 0));
    drain();
  }
  int length = 0;
  EXPECT_EQ(PSE_make_mkey_record(master.data(), 0, nullptr, &length, nullptr), 0);
  EXPECT_EQ(drain(), (std::vector<Err>{{74, 118, 74}}));
}

TEST_F(PseTest, MasterKeyRecordRefusals) {
  const Bytes master = random_bytes(32);
  Bytes good(262);
  int length = 262;
  ASSERT_EQ(PSE_make_mkey_record(master.data(), 8, good.data(), &length, nullptr), 1);
  struct Case {
    const char* what;
    Bytes record;
    Err reason;
  };
  Bytes bad_tag = good, bad_check = good, bad_share = good, zero(6, 0), longer = good, shorter = good;
  bad_tag[0] = 0x23;
  bad_check[3] ^= 1;
  bad_share[100] ^= 1;
  zero[0] = 0x22;  // no shares: the all-zero key, whose check anyone can compute
  unsigned char zero_key[32] = {};
  GOSTE_mac(nullptr, zero_key, 32, zero_key, nullptr, zero.data() + 2);
  longer.push_back(0);
  shorter.pop_back();
  const Case cases[] = {
      {"tag", bad_tag, {74, 111, 74}},       {"check value", bad_check, {74, 111, 100}},
      {"share", bad_share, {74, 111, 100}},  {"no shares", zero, {74, 111, 103}},
      {"over-long", longer, {74, 111, 103}}, {"short", shorter, {74, 111, 103}},
  };
  for (const Case& c : cases) {
    Bytes out(32, 0xAA);
    EXPECT_EQ(PSE_load_mkey(out.data(), c.record.data(), static_cast<int>(c.record.size()), nullptr), 0) << c.what;
    EXPECT_EQ(out, Bytes(32, 0)) << c.what;
    EXPECT_TRUE(has(drain(), c.reason)) << c.what;
  }
}

// Shares handed to a second medium: the file keeps the rest, and only
// whole shares that fit the record complete it.
TEST_F(PseTest, SaveMasterKeyWithSharesKeptApart) {
  const Bytes master = random_bytes(32);
  const std::string path = scratch_ / "a/b/mk.db3";
  struct Case {
    int given;
    bool with_buffer;
    size_t file_bytes;
    int handed_back;
  };
  const Case cases[] = {
      {256, true, 38, 224}, {32, true, 230, 32}, {63, true, 230, 32}, {0, true, 262, 0}, {256, false, 262, 0}};
  for (const Case& c : cases) {
    unsigned char second[224];
    int length = c.given;
    ASSERT_EQ(PSE_save_mkey(path.c_str(), master.data(), c.with_buffer ? second : nullptr, &length, nullptr), 1);
    EXPECT_EQ(read_whole(path).size(), c.file_bytes) << c.given;
    EXPECT_EQ(length, c.handed_back);
    Bytes out(32);
    ASSERT_EQ(pse_read_record(path.c_str(), out.data(), second, length, nullptr), 1) << c.given;
    EXPECT_EQ(out, master);
    if (length == 0) continue;
    // A second part that does not fit the record is refused before it is used.
    Bytes big(static_cast<size_t>(length) + 32, 0), odd(second, second + length - 1);
    for (const Bytes* wrong : {&big, &odd}) {
      EXPECT_EQ(pse_read_record(path.c_str(), out.data(), wrong->data(), static_cast<int>(wrong->size()), nullptr), 0);
      EXPECT_TRUE(has(drain(), {74, 111, 103}));
    }
    EXPECT_EQ(pse_read_record(path.c_str(), out.data(), nullptr, 0, nullptr), 0);
    drain();
  }
  // A header that claims more shares than the two parts hold overflows nothing.
  Bytes huge(6 + 32 * 7, 0);
  huge[0] = 0x22;
  huge[1] = 255;
  ASSERT_TRUE(write_whole(path, huge));
  Bytes all(32 * 255, 0x11), out(32);
  EXPECT_EQ(pse_read_record(path.c_str(), out.data(), all.data(), 32 * 7, nullptr), 0);
  EXPECT_TRUE(has(drain(), {74, 111, 103}));
}

TEST_F(PseTest, FileNamesOnEveryMedium) {
  struct Case {
    const char* medium;
    int kind;
    bool old;
    const char* path;
  };
  const Case cases[] = {
      {"C1/d", 0, false, "C1\\d\\mk.db3"},
      {"C1/d", 1, false, "C1\\d\\masks.db3"},
      {"C1/d", 2, false, "C1\\d\\kek.opq"},
      {"C1/d", 3, false, "C1\\d\\rand.opq"},
      {"C1/d", 4, false, "C1\\d\\keys"},
      {"iButton:\\k", 0, false, "iButton:\\k\\mk  .001"},
      {"iButton:\\k", 1, false, "iButton:\\k\\mask.001"},
      {"iButton:\\k", 3, false, "iButton:\\k\\rand.001"},
      {"Vexil:\\3f00\\e007", 0, false, "Vexil:\\3f00\\e007\\a001"},
      {"vxR2 1:\\3f00", 2, false, "vxR2 1:\\3f00\\c001"},
      {"Vexil:\\3f00", 4, false, "Vexil:\\3f00\\aaaa"},
      {"C1/d", 0, true, "C1\\d\\num"},
      {"C1/d/", 3, true, "C1\\d\\DB\\CRYPT\\ckd.key"},
      {"C1/d", 5, true, "C1\\d\\gk.db2"},
      {"iButton:\\k", 1, true, "iButton:\\k\\uzam.001"},
      {"iButton:\\k", 4, true, "iButton:\\k\\sksg.001"},
      {"Vexil:\\3f00", 2, true, "Vexil:\\3f00\\gk.db3"},
  };
  for (const Case& c : cases) {
    char out[PSE_PATH_BUFFER];
    const char* got = c.old ? pse_old_file_path(out, c.medium, c.kind) : PSE_file_path(out, c.medium, c.kind);
    ASSERT_NE(got, nullptr) << c.medium << " " << c.kind;
    EXPECT_STREQ(got, c.path);
  }
  char out[PSE_PATH_BUFFER];
  EXPECT_STREQ(PSE_key_file_path(out, "C1", 10), "C1\\keys\\0000000A.key");
  EXPECT_STREQ(PSE_key_file_path(out, "iButton:\\k", 10), "iButton:\\k\\keys\\key .010");
  EXPECT_STREQ(PSE_key_file_path(out, "Vexil:\\3f00", 10), "Vexil:\\3f00\\aaaa\\0010");
  EXPECT_STREQ(PSE_first_key_path(out, "C1"), "C1\\keys\\00000001.key");
  EXPECT_STREQ(PSE_sign_dir_path("C1", out), "C1\\DB\\SIGN");
  EXPECT_STREQ(PSE_sign_dir_path("iButton:\\k", out), "iButton:\\k");
  const std::string limit(247, 'a'), over(248, 'a');
  EXPECT_NE(PSE_file_path(out, limit.c_str(), 0), nullptr);
  EXPECT_EQ(PSE_file_path(out, over.c_str(), 0), nullptr);
  EXPECT_EQ(pse_old_file_path(out, over.c_str(), 0), nullptr);
  EXPECT_EQ(PSE_file_path(out, "C1", 5), nullptr);
  EXPECT_EQ(pse_old_file_path(out, "C1", 6), nullptr);
}

UniquePtr<EVP_PKEY_ENVELOPE> load_key(const std::string& path, PSE* container) {
  const Bytes der = read_whole(path);
  return UniquePtr<EVP_PKEY_ENVELOPE>(
      EVP_PKEY_decode_private(der.data(), static_cast<long>(der.size()), container, nullptr, nullptr));
}

PSE* open_container(const PseFixture& f) {
  return f.format == PseFormat::V31 ? PSE_open(f.medium.c_str(), 0) : PSE30_open(f.medium.c_str(), nullptr);
}

// Both formats, with the default and an own S-box: the container opens, its
// keys load and sign, and the signatures verify under the keys as made.
TEST_F(PseTest, BothFormatsRoundTripAndSign) {
  struct Case {
    PseFormat format;
    bool own_sbox;
    int kept_apart;
  };
  const Case cases[] = {{PseFormat::V31, false, 7},
                        {PseFormat::V31, false, 0},
                        {PseFormat::V31, false, 3},
                        {PseFormat::Old, false, 0},
                        {PseFormat::Old, true, 0}};
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i);
    auto f = make_pse_fixture(scratch_ / std::to_string(i++), c.format, c.own_sbox, c.kept_apart);
    ASSERT_NE(f, nullptr);
    UniquePtr<PSE> container(open_container(*f));
    ASSERT_NE(container, nullptr) << ERR_get_error();
    EXPECT_EQ(Bytes(container->master_key->data, container->master_key->data + 32),
              Bytes(f->master_key.begin(), f->master_key.end()));
    EXPECT_EQ(Bytes(container->kek->data, container->kek->data + 32), Bytes(f->kek.begin(), f->kek.end()));
    EXPECT_STREQ(container->path, f->medium.c_str());
    Bytes twice(f->master_key.begin(), f->master_key.end());
    twice.insert(twice.end(), f->master_key.begin(), f->master_key.end());
    unsigned char print[32];
    ASSERT_NE(GOSTH_digest(twice.data(), 64, nullptr, f->sbox.data(), print), nullptr);
    EXPECT_EQ(Bytes(container->fingerprint->data, container->fingerprint->data + 32), Bytes(print, print + 32));
    const Bytes msg = {'d', 'o', 'c'};
    for (const auto& k : f->keys) {
      auto key = load_key(k.path, container.get());
      ASSERT_NE(key, nullptr) << k.type;
      EXPECT_EQ(key->type, k.type);
      EXPECT_EQ(key->decrypted, 1);
      const Bytes sig = sign(key->pkey, msg);
      ASSERT_FALSE(sig.empty());
      EXPECT_EQ(verify(k.key_pair.get(), msg, sig), 1) << k.type;
    }
    if (c.format == PseFormat::Old) {
      unsigned char sec[PSE30_SEC_SGN_BYTES];
      ASSERT_EQ(PSE_read_sec_sgn_old(f->medium.c_str(), sec), 1);
      UniquePtr<R3410> old(R3410_load_old_pse_key(container.get(), sec, sizeof sec));
      ASSERT_NE(old, nullptr);
      EXPECT_EQ(BN_cmp(old->x, evp_pkey_get0_r3410(f->old_key.get())->x), 0);
      EXPECT_EQ(BN_cmp(old->y, evp_pkey_get0_r3410(f->old_key.get())->y), 0);
    }
  }
}

// The key from another container is refused, never used as it is.
TEST_F(PseTest, KeyOfAnotherContainerIsRefused) {
  auto a = make_pse_fixture(scratch_ / "a", PseFormat::V31, false);
  auto b = make_pse_fixture(scratch_ / "b", PseFormat::V31, false);
  ASSERT_TRUE(a && b);
  UniquePtr<PSE> other(open_container(*b));
  ASSERT_NE(other, nullptr);
  for (const auto& k : a->keys) {
    EXPECT_EQ(load_key(k.path, other.get()), nullptr);
    EXPECT_TRUE(has(drain(), {74, 104, 100}));
  }
}

// Refreshing an old container in a process without a generator: new shares
// under the container's own S-box, the same master key, no backup left.
TEST_F(PseTest, OldFormatRefreshKeepsTheContainerReadable) {
  for (bool own : {false, true}) {
    SCOPED_TRACE(own);
    RAND_set_rand_method(&kSystemRand);
    auto f = make_pse_fixture(scratch_ / (own ? "own" : "default"), PseFormat::Old, own);
    ASSERT_NE(f, nullptr);
    const std::string mk = file(*f, PSE30_MKEY), backup = file(*f, PSE30_BACKUP);
    const Bytes before = read_whole(mk);
    RAND_set_rand_method(nullptr);
    pse_test_set_write_fault(0, PseWriteFault::None);
    UniquePtr<PSE> first(PSE30_open(f->medium.c_str(), nullptr));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(pse_test_write_count(), 3);  // backup, new record, wipe of the backup
    EXPECT_EQ(PSE_rand_ready(), 1);
    const Bytes after = read_whole(mk);
    EXPECT_EQ(after.size(), 262u);
    EXPECT_NE(after, before);
    EXPECT_TRUE(read_whole(backup).empty());
    Bytes out(32);
    ASSERT_EQ(PSE_load_mkey(out.data(), after.data(), 262, f->sbox.data()), 1);
    EXPECT_EQ(out, Bytes(f->master_key.begin(), f->master_key.end()));
    // The generator is ready now: a second open writes nothing.
    pse_test_set_write_fault(0, PseWriteFault::None);
    UniquePtr<PSE> second(PSE30_open(f->medium.c_str(), nullptr));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pse_test_write_count(), 0);
    EXPECT_EQ(read_whole(mk), after);
    PSE_rand_cleanup();
  }
}

// A refresh that fails at any write leaves a master-key file that opens.
TEST_F(PseTest, FailedRefreshRestoresTheRecord) {
  for (PseWriteFault fault : {PseWriteFault::Fail, PseWriteFault::Torn}) {
    for (int at = 1; at <= 3; ++at) {
      SCOPED_TRACE(at);
      RAND_set_rand_method(&kSystemRand);
      auto f = make_pse_fixture(scratch_ / ("f" + std::to_string(at) + (fault == PseWriteFault::Torn ? "t" : "")),
                                PseFormat::Old, true);
      ASSERT_NE(f, nullptr);
      RAND_set_rand_method(nullptr);
      pse_test_set_write_fault(at, fault);
      UniquePtr<PSE> c(PSE30_open(f->medium.c_str(), nullptr));
      // A failed wipe of the backup still gives the container.
      EXPECT_EQ(c != nullptr, at == 3);
      if (!c) {
        EXPECT_EQ(RAND_get_rand_method(), nullptr);
      }
      c.reset();
      PSE_rand_cleanup();
      pse_test_set_write_fault(0, PseWriteFault::None);
      Bytes out(32);
      EXPECT_EQ(pse_read_record(file(*f, PSE30_MKEY).c_str(), out.data(), nullptr, 0, f->sbox.data()), 1);
      EXPECT_EQ(out, Bytes(f->master_key.begin(), f->master_key.end()));
      drain();
    }
  }
}

// Hostile or damaged files: a clean failure and no file changed.
TEST_F(PseTest, DamagedFilesFailCleanly) {
  struct Case {
    const char* what;
    PseFormat format;
    int kind;
    std::function<void(Bytes&)> damage;
    Err expect = {0, 0, 0};  // one error the open must give, when not all zero
  };
  const Case cases[] = {
      {"kek block changed", PseFormat::V31, PSE31_KEK, [](Bytes& b) { b[35] ^= 1; }},
      {"kek block short", PseFormat::V31, PSE31_KEK, [](Bytes& b) { b.pop_back(); }, {74, 113, 103}},
      {"kek block long", PseFormat::V31, PSE31_KEK, [](Bytes& b) { b.push_back(0); }, {74, 113, 103}},
      {"kek block of one byte", PseFormat::V31, PSE31_KEK, [](Bytes& b) { b.resize(1); }, {74, 113, 103}},
      {"kek block removed", PseFormat::V31, PSE31_KEK, [](Bytes& b) { b.clear(); }, {74, 113, 101}},
      {"masks over-long", PseFormat::V31, PSE31_MASKS, [](Bytes& b) { b.resize(225, 0); }, {74, 111, 103}},
      {"masks not whole shares", PseFormat::V31, PSE31_MASKS, [](Bytes& b) { b.pop_back(); }, {74, 111, 103}},
      {"masks removed", PseFormat::V31, PSE31_MASKS, [](Bytes& b) { b.clear(); }, {74, 111, 101}},
      {"mk short", PseFormat::V31, PSE31_MKEY, [](Bytes& b) { b.pop_back(); }},
      {"mk long", PseFormat::V31, PSE31_MKEY, [](Bytes& b) { b.push_back(0); }},
      {"mk claims 255 shares", PseFormat::V31, PSE31_MKEY, [](Bytes& b) { b[1] = 255; }},
      {"mk too long for any record",
       PseFormat::V31,
       PSE31_MKEY,
       [](Bytes& b) { b.resize(8200, 0x22); },
       {74, 111, 103}},
      {"mk no shares", PseFormat::V31, PSE31_MKEY,
       [](Bytes& b) {
         b.resize(6);
         b[1] = 0;
       }},
      {"mk share changed", PseFormat::V31, PSE31_MKEY, [](Bytes& b) { b[7] ^= 0x80; }},
      {"old sbox count", PseFormat::Old, PSE30_SBOX, [](Bytes& b) { b[1] = 6; }},
      {"old sbox share", PseFormat::Old, PSE30_SBOX, [](Bytes& b) { b[40] ^= 1; }},
      {"old sbox long", PseFormat::Old, PSE30_SBOX, [](Bytes& b) { b.push_back(0); }},
      {"old num mac", PseFormat::Old, PSE30_NUM, [](Bytes& b) { b[5] ^= 1; }},
      {"old num tag", PseFormat::Old, PSE30_NUM, [](Bytes& b) { b[0] = 0x21; }},
      {"old kek tag", PseFormat::Old, PSE30_KEK, [](Bytes& b) { b[0] = 0; }},
      {"old kek short", PseFormat::Old, PSE30_KEK, [](Bytes& b) { b.resize(41); }},
      {"old mk long", PseFormat::Old, PSE30_MKEY, [](Bytes& b) { b.resize(263, 0); }},
      {"old mk check", PseFormat::Old, PSE30_MKEY, [](Bytes& b) { b[2] ^= 1; }},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RAND_set_rand_method(&kSystemRand);
    auto f = make_pse_fixture(scratch_ / ("d" + std::to_string(i++)), c.format, true);
    ASSERT_NE(f, nullptr);
    const std::string target = file(*f, c.kind);
    Bytes bytes = read_whole(target);
    c.damage(bytes);
    if (bytes.empty() && c.format == PseFormat::V31 && (c.kind == PSE31_MASKS || c.kind == PSE31_KEK)) {
      ASSERT_TRUE(testing_support::remove_whole(target));
    } else {
      ASSERT_TRUE(write_whole(target, bytes));
    }
    // Without a generator, so that an old container would be rewritten.
    RAND_set_rand_method(nullptr);
    const int last = c.format == PseFormat::V31 ? static_cast<int>(PSE31_RAND) : static_cast<int>(PSE30_BACKUP);
    std::vector<Bytes> files;
    for (int kind = 0; kind <= last; ++kind) files.push_back(read_whole(file(*f, kind)));
    EXPECT_EQ(open_container(*f), nullptr);
    const std::vector<Err> errors = drain();
    EXPECT_FALSE(errors.empty());
    if (c.expect.lib != 0) {
      EXPECT_TRUE(has(errors, c.expect));
    }
    for (int kind = 0; kind <= last; ++kind)
      EXPECT_EQ(read_whole(file(*f, kind)), files[static_cast<size_t>(kind)]) << kind;
    EXPECT_EQ(PSE_rand_ready(), 0);
  }
}

// A short or over-long old signing secret is refused.
TEST_F(PseTest, OldSigningSecretMustBeWhole) {
  auto f = make_pse_fixture(scratch_ / "s", PseFormat::Old, false);
  ASSERT_NE(f, nullptr);
  const std::string path = file(*f, PSE30_SEC_SGN);
  Bytes good = read_whole(path);
  unsigned char out[PSE30_SEC_SGN_BYTES];
  for (int delta : {-1, 1}) {
    Bytes b = good;
    if (delta < 0) {
      b.pop_back();
    } else {
      b.push_back(0);
    }
    ASSERT_TRUE(write_whole(path, b));
    EXPECT_EQ(PSE_read_sec_sgn_old(f->medium.c_str(), out), 0);
    EXPECT_TRUE(has(drain(), {74, 128, 12}));
  }
}

// The random state: a container seeds the generator from "rand.opq" and
// leaves a fresh state there.
TEST_F(PseTest, OpenWithRandomState) {
  auto f = make_pse_fixture(scratch_ / "r", PseFormat::V31, false);
  ASSERT_NE(f, nullptr);
  const std::string rand_path = file(*f, PSE31_RAND);
  UniquePtr<PSE> c(PSE_open(f->medium.c_str(), 0));
  ASSERT_NE(c, nullptr);
  Bytes block(36), state = random_bytes(32);
  ASSERT_NE(PSE_write_opaque(c.get(), state.data(), block.data()), nullptr);
  ASSERT_TRUE(write_whole(rand_path, block));
  c.reset();
  RAND_set_rand_method(nullptr);
  c.reset(PSE_open(f->medium.c_str(), 1));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(PSE_rand_ready(), 1);
  const Bytes renewed = read_whole(rand_path);
  ASSERT_EQ(renewed.size(), 36u);
  EXPECT_NE(renewed, block);
  Bytes plain(32);
  EXPECT_NE(PSE_read_opaque(c.get(), renewed.data(), plain.data()), nullptr);
  PSE_rand_cleanup();
  // No readable state and nobody to press keys: the open fails, nothing installed.
  ASSERT_TRUE(testing_support::remove_whole(rand_path));
  c.reset(PSE_open(f->medium.c_str(), 1));
  EXPECT_EQ(c, nullptr) << PSE_rand_device_code();
  EXPECT_EQ(PSE_rand_ready(), 0);
  drain();
}

TEST_F(PseTest, ReferenceCount) {
  auto f = make_pse_fixture(scratch_ / "c", PseFormat::V31, false);
  ASSERT_NE(f, nullptr);
  PSE* c = PSE_open(f->medium.c_str(), 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->references, 1);
  ASSERT_EQ(PSE_up_ref(c), 1);
  PSE_close(c);
  EXPECT_EQ(c->references, 1);
  unsigned char plain[32] = {1}, block[36];
  EXPECT_NE(PSE_write_opaque(c, plain, block), nullptr);
  PSE_close(c);
  PSE_close(nullptr);
}

}  // namespace
}  // namespace qcrypto
