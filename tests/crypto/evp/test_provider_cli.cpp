// The stock `openssl` command with the provider module loaded: it lists our
// algorithms and hashes files exactly as the direct call does.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/rus/gost3411.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/run_program.h"

namespace {

using Outcome = test_support::ProgramResult;

// Standard output alone: some results are compared byte for byte. In
// sanitizer builds the module needs the sanitizer runtime in the command
// before it is loaded (loaded late, the runtime's thread-local block no
// longer fits).
Outcome run_openssl(std::vector<std::string> args) {
  args.insert(args.begin(), DOSSAR_OPENSSL_PROGRAM);
  test_support::ProgramOptions options;
  options.separate_errors = true;
  options.preload = test_support::sanitizer_runtime();
  // The command itself is not built with the sanitizer: only the module is checked.
  if (!options.preload.empty()) options.environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
  return test_support::run_program(args, options);
}

std::vector<std::string> provider_args() {
  return {"-provider-path", DOSSAR_PROVIDER_DIR, "-provider", "dossar", "-provider", "default"};
}

std::string hex(const unsigned char* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

class OpensslCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/dossar-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string write_file(const std::string& name, const std::vector<unsigned char>& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(OpensslCommand, DgstWithTheModuleEqualsTheDirectHash) {
  std::mt19937 rng(std::random_device{}());
  struct Case {
    const char* option;
    size_t length;
  };
  // Both digests, under a short name and an alias; an empty file, a partial
  // block, whole blocks and a file larger than the command's read buffer.
  const Case cases[] = {{"-rus-hash", 0}, {"-r3411", 3},          {"-RUS-HASH", 64},
                        {"-rush", 20000}, {"-ECR3410-R3411", 33}, {"-ecr3410", 9000}};
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.option << " length " << c.length);
    std::vector<unsigned char> data(c.length);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    const std::string path = write_file("f" + std::to_string(i++), data);
    auto args = provider_args();
    args.insert(args.begin(), "dgst");
    args.push_back(c.option);
    args.push_back("-r");
    args.push_back(path);
    const Outcome r = run_openssl(args);
    ASSERT_EQ(r.status, 0) << r.errors;
    unsigned char direct[32];
    ASSERT_NE(qcrypto::GOSTH_digest(data.data(), static_cast<int>(data.size()), nullptr, nullptr, direct), nullptr);
    // "-r" prints "<hex> *<file>".
    EXPECT_EQ(r.output.substr(0, 64), hex(direct, 32));
  }
}

TEST_F(OpensslCommand, ListShowsOurAlgorithmsFromOurProvider) {
  for (const char* what : {"-digest-algorithms", "-cipher-algorithms"}) {
    auto args = provider_args();
    args.insert(args.begin(), {"list", what});
    const Outcome r = run_openssl(args);
    ASSERT_EQ(r.status, 0) << r.errors;
    if (std::strcmp(what, "-digest-algorithms") == 0) {
      for (const char* name : {"RUS-HASH", "r3411", "rush", "r3410WithR3411", "ECR3410-R3411", "ecr3410"})
        EXPECT_NE(r.output.find(name), std::string::npos) << name;
    } else {
      for (const char* name : {"RUS-CHANGE", "rus-ecb", "rus-simple", "RUS-GAMMA", "RUS-GAMMAR", "rus-gfb",
                               "rus-gamma-fb", "rus-gamma-r", "1.3.6.1.4.1.6173.1.1.3"})
        EXPECT_NE(r.output.find(name), std::string::npos) << name;
    }
    EXPECT_NE(r.output.find("@ dossar"), std::string::npos);
  }
  // Without the module the command does not know the names.
  const Outcome plain = run_openssl({"list", "-digest-algorithms"});
  ASSERT_EQ(plain.status, 0) << plain.errors;
  EXPECT_EQ(plain.output.find("RUS-HASH"), std::string::npos);
}

using test_support::kSystemRand;

class OpensslCommandPki : public OpensslCommand, public ::testing::WithParamInterface<test_support::GostKeyType> {};

std::vector<unsigned char> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// Certificates made by the test PKI builder, printed and verified by the stock
// command with the module loaded.
TEST_P(OpensslCommandPki, PrintsAndVerifiesBuilderCertificates) {
  qcrypto::RAND_set_rand_method(&kSystemRand);
  EVP_PKEY* ca_key = test_support::gost_new_key(GetParam());
  EVP_PKEY* leaf_key = test_support::gost_new_key(GetParam());
  ASSERT_NE(ca_key, nullptr);
  ASSERT_NE(leaf_key, nullptr);
  X509* ca = test_support::gost_make_cert(ca_key, {"Test CA", 1, true, 365}, nullptr, ca_key);
  X509* leaf = test_support::gost_make_cert(leaf_key, {"Test Leaf", 2, false, 30}, ca, ca_key);
  X509_CRL* crl_clean = test_support::gost_make_crl(ca, ca_key, {9});
  X509_CRL* crl_revoked = test_support::gost_make_crl(ca, ca_key, {2}, 2);
  ASSERT_TRUE(ca && leaf && crl_clean && crl_revoked);
  const std::string ca_pem = write_file("ca.pem", bytes_of(test_support::to_pem(ca)));
  const std::string leaf_pem = write_file("leaf.pem", bytes_of(test_support::to_pem(leaf)));
  const std::string clean_pem = write_file("clean.pem", bytes_of(test_support::to_pem(crl_clean)));
  const std::string revoked_pem = write_file("revoked.pem", bytes_of(test_support::to_pem(crl_revoked)));
  std::string leaf_text = test_support::to_pem(leaf);
  // A bit flipped inside the base64 of the signature (near the end of the text).
  const size_t at = leaf_text.rfind("-----END") - 6;
  leaf_text[at] = leaf_text[at] == 'A' ? 'B' : 'A';
  const std::string bad_pem = write_file("bad.pem", bytes_of(leaf_text));
  const bool r3410 = GetParam() == test_support::GostKeyType::kR3410;

  auto with = [](std::vector<std::string> head, std::vector<std::string> tail) {
    auto args = provider_args();
    args.insert(args.begin(), head.begin(), head.end());
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  };
  const Outcome text = run_openssl(with({"x509"}, {"-text", "-noout", "-in", leaf_pem}));
  ASSERT_EQ(text.status, 0) << text.errors;
  EXPECT_NE(text.output.find("CN = Test Leaf"), std::string::npos);
  EXPECT_NE(text.output.find(r3410 ? "r3410WithR3411" : "ecr3410WithR3411"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find(r3410 ? "Public Key Algorithm: r3410" : "Public Key Algorithm: ecr3410"),
            std::string::npos);
  EXPECT_NE(text.output.find(r3410 ? "GOST R 34.10-94 Public-Key" : "GOST R 34.10-2001 Public-Key"), std::string::npos);

  const Outcome ok = run_openssl(with({"verify"}, {"-CAfile", ca_pem, leaf_pem}));
  EXPECT_EQ(ok.status, 0) << ok.output << ok.errors;
  EXPECT_NE(ok.output.find(": OK"), std::string::npos);
  const Outcome with_crl =
      run_openssl(with({"verify"}, {"-crl_check", "-CAfile", ca_pem, "-CRLfile", clean_pem, leaf_pem}));
  EXPECT_EQ(with_crl.status, 0) << with_crl.output << with_crl.errors;
  const Outcome revoked =
      run_openssl(with({"verify"}, {"-crl_check", "-CAfile", ca_pem, "-CRLfile", revoked_pem, leaf_pem}));
  EXPECT_NE(revoked.status, 0);
  const Outcome bad = run_openssl(with({"verify"}, {"-CAfile", ca_pem, bad_pem}));
  EXPECT_NE(bad.status, 0) << bad.output << bad.errors;
  // A public key file read and written again by the command.
  BIO* mem = BIO_new(BIO_s_mem());
  ASSERT_EQ(PEM_write_bio_PUBKEY(mem, leaf_key), 1);
  char* pub_text = nullptr;
  const long pub_len = BIO_get_mem_data(mem, &pub_text);
  const std::string pub(pub_text, static_cast<size_t>(pub_len));
  BIO_free(mem);
  const std::string pub_pem = write_file("pub.pem", bytes_of(pub));
  const Outcome pkey = run_openssl(with({"pkey"}, {"-pubin", "-in", pub_pem, "-pubout"}));
  ASSERT_EQ(pkey.status, 0) << pkey.errors;
  EXPECT_EQ(pkey.output, pub);

  // The stock command fails the same certificates without the module.
  const Outcome plain = run_openssl({"verify", "-CAfile", ca_pem, leaf_pem});
  EXPECT_NE(plain.status, 0);

  X509_CRL_free(crl_clean);
  X509_CRL_free(crl_revoked);
  X509_free(leaf);
  X509_free(ca);
  EVP_PKEY_free(leaf_key);
  EVP_PKEY_free(ca_key);
  qcrypto::RAND_set_rand_method(nullptr);
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, OpensslCommandPki,
                         ::testing::Values(test_support::GostKeyType::kR3410, test_support::GostKeyType::kEcr3410),
                         [](const auto& test_case) {
                           return test_case.param == test_support::GostKeyType::kR3410 ? "R3410" : "ECR3410";
                         });

}  // namespace
