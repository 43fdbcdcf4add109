// Two static copies of the crypto library in one process (as the programs
// and the shared library of the product have them): both start, work and
// stop, and OpenSSL sees each registration once.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crypto/evp/objects.h"
#include "tests/crypto/cadb/library_test_support.h"

namespace {

using qcrypto::testing_support::LibraryRound;
using RoundFn = void (*)(const unsigned char*, std::size_t, LibraryRound*);
using CheckFn = int (*)(const unsigned char*, std::size_t);

struct Copy {
  void* handle = nullptr;
  RoundFn round = nullptr;
  CheckFn check_certificate = nullptr;
};

Copy load_copy(const char* path) {
  Copy c;
  c.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(c.handle, nullptr) << dlerror();
  if (c.handle != nullptr) {
    c.round = reinterpret_cast<RoundFn>(dlsym(c.handle, "dossar_library_copy_round"));
    c.check_certificate = reinterpret_cast<CheckFn>(dlsym(c.handle, "dossar_library_copy_check_certificate"));
  }
  EXPECT_NE(c.round, nullptr) << path;
  EXPECT_NE(c.check_certificate, nullptr) << path;
  return c;
}

int count_providers(const char* name) {
  struct Count {
    const char* name;
    int n;
  } count{name, 0};
  OSSL_PROVIDER_do_all(
      nullptr,
      [](OSSL_PROVIDER* p, void* arg) {
        auto* c = static_cast<Count*>(arg);
        if (std::strcmp(OSSL_PROVIDER_get0_name(p), c->name) == 0) ++c->n;
        return 1;
      },
      &count);
  return count.n;
}

// What every copy must do: start, draw from its own generator, hash through
// EVP, verify through EVP with keys the provider decodes, stop.
void expect_round_worked(const LibraryRound& r) {
  EXPECT_EQ(r.references_while_started, 1);
  EXPECT_EQ(r.references_after_stop, 0);
  EXPECT_EQ(r.registered, 1);
  EXPECT_EQ(r.random_installed, 1);
  EXPECT_EQ(r.digest_matches, 1);
  EXPECT_EQ(r.spki_verifies, 1);
  EXPECT_EQ(r.flipped_spki_fails, 1);
}

// Every copy signs through EVP with a key made from its own record (its own
// provider takes the record) and makes a certificate with it.
void expect_record_signing(const LibraryRound& r) {
  EXPECT_EQ(r.record_key_refused, 0);
  EXPECT_EQ(r.signature_verifies, 1);
  EXPECT_EQ(r.flipped_signature_fails, 1);
  EXPECT_GT(r.certificate_length, 0);
}

// A certificate made by one copy verifies in every copy, whichever provider
// decodes its key there, and a flipped bit of its signature does not.
void expect_certificate_verifies_in(const LibraryRound& made, const std::vector<Copy>& copies) {
  ASSERT_GT(made.certificate_length, 0);
  std::vector<unsigned char> der(made.certificate, made.certificate + made.certificate_length);
  for (const Copy& c : copies) {
    EXPECT_EQ(c.check_certificate(der.data(), der.size()), 1);
    der[der.size() - 3] ^= 0x04;  // inside the signature, the last element
    EXPECT_NE(c.check_certificate(der.data(), der.size()), 1);
    der[der.size() - 3] ^= 0x04;
  }
}

TEST(LibraryCopies, BothStartAndWorkAndRegisterOnce) {
  ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(), 1);
  ::setenv("DOSSAR_STANDIN_CRYPTON", "present", 1);
  const Copy a = load_copy(DOSSAR_LIBRARY_COPY_A);
  const Copy b = load_copy(DOSSAR_LIBRARY_COPY_B);
  ASSERT_NE(a.round, nullptr);
  ASSERT_NE(b.round, nullptr);
  ASSERT_NE(a.round, b.round) << "the two copies are one";

  const unsigned char msg[] = "two copies, one process";
  LibraryRound ra, rb, ra2;
  {
    SCOPED_TRACE("copy a");
    a.round(msg, sizeof(msg), &ra);
    expect_round_worked(ra);
    expect_record_signing(ra);
  }
  {
    SCOPED_TRACE("copy b");
    b.round(msg, sizeof(msg), &rb);
    expect_round_worked(rb);
    expect_record_signing(rb);
  }
  {
    SCOPED_TRACE("copy a again");
    a.round(msg, sizeof(msg), &ra2);
    expect_round_worked(ra2);
    expect_record_signing(ra2);
  }
  // Each copy runs its own provider under its own name; the first copy to
  // start has the module's name, so the stock command line finds it.
  EXPECT_STREQ(ra.provider_name, "dossar");
  EXPECT_STREQ(rb.provider_name, "dossar-2");
  EXPECT_STREQ(ra2.provider_name, ra.provider_name);
  {
    SCOPED_TRACE("certificate of copy a");
    expect_certificate_verifies_in(ra, {a, b});
  }
  {
    SCOPED_TRACE("certificate of copy b");
    expect_certificate_verifies_in(rb, {a, b});
  }

  // One object per OID: both copies found the same NIDs, the ones OpenSSL
  // gives for the OIDs.
  const auto key_row = qcrypto::sysobj_find(qcrypto::SYSOBJ_ECR3410);
  const auto sig_row = qcrypto::sysobj_find(qcrypto::SYSOBJ_ECR3410_R3411);
  ASSERT_TRUE(key_row && sig_row);
  EXPECT_NE(ra.key_nid, NID_undef);
  EXPECT_EQ(ra.key_nid, rb.key_nid);
  EXPECT_EQ(ra.signature_nid, rb.signature_nid);
  EXPECT_EQ(OBJ_txt2nid(key_row->oid), ra.key_nid);
  EXPECT_EQ(OBJ_txt2nid(sig_row->oid), ra.signature_nid);
  int digest = -1, key = -1;
  ASSERT_EQ(OBJ_find_sigid_algs(ra.signature_nid, &digest, &key), 1);
  EXPECT_EQ(digest, NID_undef);
  EXPECT_EQ(key, ra.key_nid);
  // One provider of each copy's name, loaded once.
  EXPECT_EQ(count_providers("dossar"), 1);
  EXPECT_EQ(count_providers("dossar-2"), 1);

#if defined(__SANITIZE_THREAD__)
  // The copies draw from the one board driver under the generator's named
  // mutex, a file lock that ThreadSanitizer does not see; the sequential
  // rounds above are its share of this test.
  ::unsetenv("DOSSAR_STANDIN_CRYPTON");
  return;
#endif
  // Both copies started at the same time, from two threads. Each copy loads
  // and lets go of the board's driver on every first start; the test keeps
  // its own reference so the driver stays mapped (a driver that is unmapped
  // and mapped again between two threads' loads is the loader's business).
  void* board =
      dlopen((std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib/libvtcrptn.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(board, nullptr) << dlerror();
  std::vector<LibraryRound> from_a(20), from_b(20);
  std::thread ta([&] {
    for (auto& r : from_a) a.round(msg, sizeof(msg), &r);
  });
  std::thread tb([&] {
    for (auto& r : from_b) b.round(msg, sizeof(msg), &r);
  });
  ta.join();
  tb.join();
  // Starting and stopping at once changes nothing: each copy keeps its own
  // provider and signs with its own records in every round.
  for (const auto& r : from_a) {
    expect_round_worked(r);
    expect_record_signing(r);
    EXPECT_STREQ(r.provider_name, ra.provider_name);
  }
  for (const auto& r : from_b) {
    expect_round_worked(r);
    expect_record_signing(r);
    EXPECT_STREQ(r.provider_name, rb.provider_name);
  }
  dlclose(board);
  ::unsetenv("DOSSAR_STANDIN_CRYPTON");
}

}  // namespace
