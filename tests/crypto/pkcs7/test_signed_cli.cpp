// Interop with the stock `openssl cms` command: RSA and ECDSA messages of ours
// verify there (attached and detached), and its messages (DER, streamed BER,
// PEM) verify here. With the provider module loaded, GOST R 34.10-94
// messages of ours verify there too; what OpenSSL 3.0's CMS refuses with GOST
// keys is pinned here, as the README tells it. Also the file forms: content appears
// under its name only when every signer checked out, and a cancelled signing
// leaves nothing, and an input that is not a regular file is refused without
// waiting on it.
#include <dirent.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "crypto/prov/gost_pkey.h"
#include "crypto/x509/gost_keys.h"
#include "signed_test_util.h"
#include "tests/support/nonregular_input.h"
#include "tests/support/run_program.h"

namespace signed_test {
namespace {

test_support::ProgramResult run_openssl(std::vector<std::string> args) {
  args.insert(args.begin(), DOSSAR_OPENSSL_PROGRAM);
  return test_support::run_program(args);
}

// The command with the provider module loaded after its subcommand.
test_support::ProgramResult run_openssl_with_module(std::vector<std::string> args) {
  return test_support::run_openssl_with_module(DOSSAR_OPENSSL_PROGRAM, DOSSAR_PROVIDER_DIR, std::move(args));
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

class SignedFiles : public ::testing::TestWithParam<PkiKeyType> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_load_crypto_strings();
    Signers::get();
  }
  void SetUp() override {
    qcrypto::RAND_set_rand_method(&pkcs7_test::kSystemRand);
    char tmpl[] = "/tmp/dossar-signed-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& n : list_dir(dir_)) unlink((dir_ + "/" + n).c_str());
    rmdir(dir_.c_str());
    qcrypto::ERR_clear_error();
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  void write_pem(const Signer& s) {
    UniquePtr<BIO> c(BIO_new_file(path("cert.pem").c_str(), "w"));
    UniquePtr<BIO> k(BIO_new_file(path("key.pem").c_str(), "w"));
    ASSERT_TRUE(c && k);
    ASSERT_EQ(PEM_write_bio_X509(c.get(), s.cert.get()), 1);
    ASSERT_EQ(PEM_write_bio_PrivateKey(k.get(), s.key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
  }

  std::string dir_;
};

TEST_P(SignedFiles, OursVerifiesWithTheStockCommand) {
  const Signer& s = Signers::get().at(GetParam());
  write_pem(s);
  const Bytes content = pkcs7_test::pattern(20000, 41);
  write_file(path("content.bin"), content);
  for (bool detached : {false, true}) {
    SCOPED_TRACE(detached ? "detached" : "attached");
    qcrypto::SignedOptions options;
    options.detached = detached;
    options.signing_time = std::time(nullptr);
    const qcrypto::SignedSigner signers[] = {as_signer(s)};
    ASSERT_EQ(qcrypto::signed_data_sign_file(signers, path("content.bin").c_str(), path("msg.p7s").c_str(), options),
              1);
    std::vector<std::string> args = {"cms",           "-verify",   "-inform", "DER",  "-in",
                                     path("msg.p7s"), "-noverify", "-binary", "-out", path("back.bin")};
    if (detached) args.insert(args.end(), {"-content", path("content.bin")});
    const test_support::ProgramResult good = run_openssl(args);
    ASSERT_EQ(good.status, 0) << good.output;
    EXPECT_EQ(read_file(path("back.bin")), content);
    // A changed byte fails there too.
    Bytes msg = read_file(path("msg.p7s"));
    msg.back() ^= 1;
    write_file(path("bad.p7s"), msg);
    args[5] = path("bad.p7s");
    EXPECT_NE(run_openssl(args).status, 0);
  }
}

TEST_P(SignedFiles, StockCommandOutputVerifiesHere) {
  const Signer& s = Signers::get().at(GetParam());
  write_pem(s);
  const Bytes content = pkcs7_test::pattern(30000, 42);
  write_file(path("content.bin"), content);
  struct Row {
    const char* name;
    std::vector<std::string> extra;
    bool detached;
  };
  const Row rows[] = {
      {"der", {"-nodetach", "-outform", "DER"}, false},
      {"ber-stream", {"-nodetach", "-stream", "-outform", "DER"}, false},
      {"pem", {"-nodetach", "-outform", "PEM"}, false},
      {"detached", {"-outform", "DER"}, true},
      {"sha1", {"-nodetach", "-outform", "DER", "-md", "sha1"}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args = {
        "cms",           "-sign", "-binary",         "-in", path("content.bin"), "-signer", path("cert.pem"), "-inkey",
        path("key.pem"), "-out",  path("theirs.p7s")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    const test_support::ProgramResult signing = run_openssl(args);
    ASSERT_EQ(signing.status, 0) << signing.output;
    qcrypto::SignedVerifyResult r;
    ASSERT_EQ(qcrypto::signed_data_verify_file(path("theirs.p7s").c_str(),
                                               row.detached ? path("content.bin").c_str() : nullptr,
                                               row.detached ? nullptr : path("out.bin").c_str(), &r),
              1);
    ASSERT_EQ(r.signers.size(), 1U);
    EXPECT_EQ(r.signers[0].status, qcrypto::SignerStatus::kGood);
    EXPECT_TRUE(r.signers[0].signing_time);
    EXPECT_EQ(r.detached, row.detached);
    if (!row.detached) {
      EXPECT_EQ(read_file(path("out.bin")), content);
    }
    unlink(path("out.bin").c_str());
  }
}

// Bytes of DER signed attributes: SET OF SEQUENCE { type, SET { value } }.
Bytes attribute(unsigned char type_last_arc, const Bytes& value) {
  Bytes a = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, type_last_arc};
  a.push_back(0x31);
  a.push_back(static_cast<unsigned char>(value.size()));
  a.insert(a.end(), value.begin(), value.end());
  a.insert(a.begin(), {0x30, static_cast<unsigned char>(a.size())});
  return a;
}

Bytes attribute_set(const std::vector<Bytes>& attributes) {
  Bytes body;
  for (const Bytes& a : attributes) body.insert(body.end(), a.begin(), a.end());
  Bytes set = {0x31, 0x81, static_cast<unsigned char>(body.size())};
  if (body.size() < 0x80) set = {0x31, static_cast<unsigned char>(body.size())};
  set.insert(set.end(), body.begin(), body.end());
  return set;
}

// Signers without signed attributes (the stock command's -noattr) verify,
// attached and detached, through the file reader and the memory reader,
// whatever the content, except one content: signed attributes that name a
// content type and a message digest, over which another signer's attribute
// signature would replay.
TEST_P(SignedFiles, StockSignersWithoutAttributesVerifyHere) {
  const Signer& s = Signers::get().at(GetParam());
  write_pem(s);
  const Bytes content_type = attribute(0x03, {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01});
  Bytes digest_value = {0x04, 0x20};
  digest_value.resize(34, 0x5c);
  const Bytes message_digest = attribute(0x04, digest_value);
  const Bytes time_value = {0x17, 0x0d, '2', '6', '0', '1', '0', '2', '0', '3', '0', '4', '0', '5', 'Z'};
  const Bytes signing_time = attribute(0x05, time_value);
  Bytes with_tail = attribute_set({content_type, message_digest});
  with_tail.push_back(0);
  struct Row {
    const char* name;
    Bytes content;
    bool good;
  };
  const Row rows[] = {
      {"plain", pkcs7_test::pattern(30000, 44), true},
      {"empty", {}, true},
      {"time attribute only", attribute_set({signing_time}), true},
      {"digest without type", attribute_set({message_digest, signing_time}), true},
      {"attributes and a byte more", with_tail, true},
      {"type and digest", attribute_set({content_type, message_digest}), false},
      {"type, digest and time", attribute_set({content_type, message_digest, signing_time}), false},
      {"digest before type", attribute_set({message_digest, content_type}), false},
  };
  for (const Row& row : rows) {
    for (const bool detached : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (detached ? " detached" : " attached"));
      write_file(path("content.bin"), row.content);
      std::vector<std::string> args = {
          "cms",    "-sign",         "-binary",  "-noattr", "-in",  path("content.bin"), "-signer", path("cert.pem"),
          "-inkey", path("key.pem"), "-outform", "DER",     "-out", path("theirs.p7s")};
      if (!detached) args.emplace_back("-nodetach");
      const test_support::ProgramResult signing = run_openssl(args);
      ASSERT_EQ(signing.status, 0) << signing.output;
      const int want = row.good ? 1 : qcrypto::SIGNED_INVALID;
      const qcrypto::SignerStatus status =
          row.good ? qcrypto::SignerStatus::kGood : qcrypto::SignerStatus::kBadSignature;

      qcrypto::SignedVerifyResult r;
      EXPECT_EQ(
          qcrypto::signed_data_verify_file(path("theirs.p7s").c_str(), detached ? path("content.bin").c_str() : nullptr,
                                           detached ? nullptr : path("out.bin").c_str(), &r),
          want);
      ASSERT_EQ(r.signers.size(), 1U);
      EXPECT_EQ(r.signers[0].status, status);
      EXPECT_LE(sk_X509_ATTRIBUTE_num(r.signers[0].info->auth_attr), 0);  // none, or an empty set
      EXPECT_FALSE(r.signers[0].signing_time);
      if (!detached) {
        EXPECT_EQ(read_file(path("out.bin")), row.good ? row.content : Bytes{});
      }
      unlink(path("out.bin").c_str());

      const Bytes msg = read_file(path("theirs.p7s"));
      qcrypto::SignedVerifyOptions options;
      if (detached) options.detached_bytes.emplace(row.content.data(), row.content.size());
      qcrypto::SignedVerifyResult in_memory;
      EXPECT_EQ(qcrypto::signed_data_verify_mem(msg, nullptr, &in_memory, options), want);
      ASSERT_EQ(in_memory.signers.size(), 1U);
      EXPECT_EQ(in_memory.signers[0].status, status);
      qcrypto::ERR_clear_error();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Types, SignedFiles, ::testing::Values(PkiKeyType::kRsa, PkiKeyType::kEcdsaP256),
                         [](const auto& row) { return std::string(type_name(row.param)); });

class SignedFileForms : public SignedFiles {};

// A message whose signer fails leaves no content under the name; a cancelled
// signing leaves no message; an existing output stays as it was.
TEST_F(SignedFileForms, OutputsOnlyWhenComplete) {
  const Signer& s = Signers::get().at(PkiKeyType::kEcr3410);
  const Bytes content = pkcs7_test::pattern(3 * qcrypto::SIGNED_BLOCK, 43);
  write_file(path("content.bin"), content);
  const qcrypto::SignedSigner signers[] = {as_signer(s)};
  ASSERT_EQ(qcrypto::signed_data_sign_file(signers, path("content.bin").c_str(), path("msg.p7s").c_str()), 1);
  Bytes msg = read_file(path("msg.p7s"));
  msg.back() ^= 1;
  write_file(path("bad.p7s"), msg);
  qcrypto::SignedVerifyResult r;
  EXPECT_EQ(qcrypto::signed_data_verify_file(path("bad.p7s").c_str(), nullptr, path("out.bin").c_str(), &r),
            qcrypto::SIGNED_INVALID);
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"bad.p7s", "content.bin", "msg.p7s"}));

  write_file(path("old.p7s"), Bytes{1, 2, 3});
  for (int at : {0, 2}) {
    int calls = 0;
    struct Ctx {
      int* calls;
      int at;
    } ctx{&calls, at};
    const qcrypto::EnvelopeProgress cancel{[](int, long, long, void* u) {
                                             auto* c = static_cast<Ctx*>(u);
                                             return (*c->calls)++ == c->at ? 0 : 1;
                                           },
                                           &ctx};
    EXPECT_EQ(qcrypto::signed_data_sign_file(signers, path("content.bin").c_str(), path("old.p7s").c_str(), {}, cancel),
              qcrypto::SIGNED_CANCELLED);
    EXPECT_EQ(read_file(path("old.p7s")), (Bytes{1, 2, 3}));
    calls = 0;
    EXPECT_EQ(
        qcrypto::signed_data_verify_file(path("msg.p7s").c_str(), nullptr, path("out.bin").c_str(), &r, {}, cancel),
        qcrypto::SIGNED_CANCELLED);
    EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"bad.p7s", "content.bin", "msg.p7s", "old.p7s"}));
  }
  EXPECT_EQ(qcrypto::signed_data_verify_file(path("msg.p7s").c_str(), nullptr, path("out.bin").c_str(), &r), 1);
  EXPECT_EQ(read_file(path("out.bin")), content);
}

TEST_F(SignedFileForms, InputsThatAreNotRegularFilesAreRefused) {
  const std::vector<test_support::NonRegularInput> inputs = test_support::make_nonregular_inputs(dir_);
  ASSERT_EQ(inputs.size(), 2U);
  const Signer& s = Signers::get().at(PkiKeyType::kEcr3410);
  const qcrypto::SignedSigner signers[] = {as_signer(s)};
  write_file(path("content.bin"), pkcs7_test::pattern(100, 45));
  qcrypto::SignedOptions detached;
  detached.detached = true;
  ASSERT_EQ(qcrypto::signed_data_sign_file(signers, path("content.bin").c_str(), path("msg.p7s").c_str(), detached), 1);
  const std::string content = path("content.bin");
  const std::string msg = path("msg.p7s");
  const std::string out = path("out.bin");
  struct Row {
    const char* name;
    std::function<int(const char*)> call;
  };
  qcrypto::SignedVerifyResult r;
  const Row rows[] = {
      {"sign", [&](const char* in) { return qcrypto::signed_data_sign_file(signers, in, out.c_str()); }},
      {"verify", [&](const char* in) { return qcrypto::signed_data_verify_file(in, nullptr, out.c_str(), &r); }},
      {"verify detached content",
       [&](const char* in) { return qcrypto::signed_data_verify_file(msg.c_str(), in, nullptr, &r); }},
  };
  for (const auto& input : inputs) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " from a " + input.what);
      const std::optional<int> rc =
          test_support::call_with_deadline(inputs[0].path, [&] { return row.call(input.path.c_str()); });
      ASSERT_TRUE(rc.has_value()) << "the call waited on the input";
      EXPECT_EQ(*rc, 0);
      EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"content.bin", "fifo", "folder", "msg.p7s"}));
    }
  }
  rmdir(path("folder").c_str());
}

// GOST messages of ours against the stock command with the module loaded. Its
// CMS code pairs a signer's digestAlgorithm with the content digests by NID:
// the OID's (OBJ_obj2nid) against the digest's legacy one (EVP_MD_get_type),
// which OpenSSL 3.0 gives a provider's digest only when a legacy method of
// the same name is registered. Ours have none, so they pair only with an OID
// the command has no object for: the RUS-HASH OID of GOST R 34.10-94
// messages, which the module leaves unnamed, but not the signature OID that
// GOST R 34.10-2001 messages name their digest by, whose verification ends
// in "no matching digest". Everything before that works through the module
// for both: the certificate chain to the CA and the signature over the
// signed attributes (EVP_DigestVerifyInit_ex with the digest's name), which
// is what -no_content_verify leaves.
class GostWithTheModule : public SignedFiles {
 protected:
  void SetUp() override {
    SignedFiles::SetUp();
    test_support::PkiCertSpec ca;
    ca.basic_constraints = test_support::PkiBasicConstraints::kCa;
    ca.key_usage = test_support::PkiKeyUsage::kCa;
    for (int i = 0; i < 2; ++i) {
      ca_key_[i].reset(test_support::pki_new_key(GetParam()));
      ASSERT_TRUE(ca_key_[i]);
      ca.common_name = "CA " + std::to_string(i);
      ca_[i].reset(test_support::pki_make_cert(ca_key_[i].get(), ca, nullptr, ca_key_[i].get()));
      ASSERT_TRUE(ca_[i]);
    }
    key_.reset(test_support::pki_new_key(GetParam()));
    ASSERT_TRUE(key_);
    test_support::PkiCertSpec leaf;
    leaf.common_name = std::string("signer ") + type_name(GetParam());
    leaf.serial = 7;
    cert_.reset(test_support::pki_make_cert(key_.get(), leaf, ca_[0].get(), ca_key_[0].get()));
    ASSERT_TRUE(cert_);
    for (int i = 0; i < 2; ++i) {
      UniquePtr<BIO> out(BIO_new_file(path(i == 0 ? "ca.pem" : "other-ca.pem").c_str(), "w"));
      ASSERT_TRUE(out);
      ASSERT_EQ(PEM_write_bio_X509(out.get(), ca_[i].get()), 1);
    }
  }

  // Our message over `content`, checked by our own reader first.
  Bytes ours(const Bytes& content, bool detached) {
    qcrypto::SignedOptions options;
    options.detached = detached;
    options.signing_time = std::time(nullptr);
    const Bytes msg = sign({{key_.get(), cert_.get(), nullptr}}, content, options);
    qcrypto::SignedVerifyResult r;
    Bytes back;
    EXPECT_EQ(verify(msg, detached ? &content : nullptr, &r, &back), 1);
    EXPECT_EQ(r.signers.size(), 1U);
    if (!r.signers.empty()) {
      EXPECT_EQ(r.signers[0].status, qcrypto::SignerStatus::kGood);
    }
    if (!detached) {
      EXPECT_EQ(back, content);
    }
    return msg;
  }

  static std::vector<std::string> verify_args(const std::string& msg, const std::string& ca, const std::string& out,
                                              const std::string& detached_content) {
    std::vector<std::string> args = {"cms",     "-verify", "-inform", "DER",  "-in", msg,
                                     "-CAfile", ca,        "-binary", "-out", out};
    if (!detached_content.empty()) args.insert(args.end(), {"-content", detached_content});
    return args;
  }

  UniquePtr<EVP_PKEY> ca_key_[2];
  UniquePtr<X509> ca_[2];
  UniquePtr<EVP_PKEY> key_;
  UniquePtr<X509> cert_;
};

// GOST R 34.10-94 messages verify there, attached and detached, with the
// content out whole; a changed content or signature and a signer under
// another CA are refused. GOST R 34.10-2001 ones find no digest to pair with,
// good or not.
TEST_P(GostWithTheModule, StockVerify) {
  const bool verifies = GetParam() == PkiKeyType::kR3410;
  const Bytes content = pkcs7_test::pattern(20000, 44);
  Bytes changed = content;
  changed[5000] ^= 0x01;
  write_file(path("content.bin"), content);
  write_file(path("changed.bin"), changed);
  const Bytes attached = ours(content, false);
  write_file(path("attached.p7s"), attached);
  write_file(path("detached.p7s"), ours(content, true));
  Bytes bad_signature = attached;
  bad_signature.back() ^= 1;  // the last byte lies in the signature value
  write_file(path("bad-signature.p7s"), bad_signature);
  Bytes bad_content = attached;
  const auto at = std::search(bad_content.begin(), bad_content.end(), content.begin() + 1000, content.begin() + 1064);
  ASSERT_NE(at, bad_content.end());
  *at ^= 0x01;
  write_file(path("bad-content.p7s"), bad_content);
  struct Row {
    const char* name;
    const char* msg;
    const char* ca;
    const char* content;
    bool good;
  };
  const Row rows[] = {
      {"attached", "attached.p7s", "ca.pem", "", true},
      {"detached", "detached.p7s", "ca.pem", "content.bin", true},
      {"attached, content changed", "bad-content.p7s", "ca.pem", "", false},
      {"detached, content changed", "detached.p7s", "ca.pem", "changed.bin", false},
      {"signature changed", "bad-signature.p7s", "ca.pem", "", false},
      {"signer under another CA", "attached.p7s", "other-ca.pem", "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unlink(path("back.bin").c_str());
    const test_support::ProgramResult r = run_openssl_with_module(
        verify_args(path(row.msg), path(row.ca), path("back.bin"), *row.content != '\0' ? path(row.content) : ""));
    // (The command writes the content out before it checks it, whatever the
    // outcome: only its status tells.)
    EXPECT_EQ(r.status == 0, verifies && row.good) << r.output;
    if (verifies && row.good) {
      EXPECT_EQ(read_file(path("back.bin")), content);
    }
    if (!verifies && row.good) {
      EXPECT_NE(r.output.find("no matching digest"), std::string::npos) << r.output;
    }
  }
}

// -no_content_verify: the chain and the signature over the signed attributes
// are checked through the module, the content is not.
TEST_P(GostWithTheModule, StockVerifyWithoutContentChecksChainAndSignatureOnly) {
  const Bytes content = pkcs7_test::pattern(9000, 45);
  Bytes changed = content;
  changed[100] ^= 0x20;
  write_file(path("content.bin"), content);
  write_file(path("changed.bin"), changed);
  write_file(path("attached.p7s"), ours(content, false));
  const Bytes detached = ours(content, true);
  write_file(path("detached.p7s"), detached);
  Bytes bad_signature = detached;
  bad_signature.back() ^= 1;  // the last byte lies in the signature value
  write_file(path("bad-signature.p7s"), bad_signature);
  struct Row {
    const char* name;
    const char* msg;
    const char* ca;
    const char* content;
    bool accepted;
  };
  const Row rows[] = {
      {"attached", "attached.p7s", "ca.pem", "", true},
      {"detached", "detached.p7s", "ca.pem", "content.bin", true},
      {"signature changed", "bad-signature.p7s", "ca.pem", "content.bin", false},
      {"signer under another CA", "detached.p7s", "other-ca.pem", "content.bin", false},
      // Not a verification of the content: a changed one passes.
      {"content changed", "detached.p7s", "ca.pem", "changed.bin", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args =
        verify_args(path(row.msg), path(row.ca), "/dev/null", *row.content != '\0' ? path(row.content) : "");
    args.push_back("-no_content_verify");
    const test_support::ProgramResult r = run_openssl_with_module(args);
    EXPECT_EQ(r.status == 0, row.accepted) << r.output;
  }
}

// OpenSSL 3.0's CMS writes a signer's digestAlgorithm from the digest's
// legacy NID, which our provider's digests do not have: it cannot sign with
// them (the stock command does not even get that far, the module reads no
// private keys).
TEST_P(GostWithTheModule, OpensslCmsCannotSignWithOurDigest) {
  const EVP_MD* md = GetParam() == PkiKeyType::kR3410 ? qcrypto::EVP_rus_hash() : qcrypto::EVP_ecr3410();
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(EVP_MD_get_type(md), NID_undef);
  const Bytes content = pkcs7_test::pattern(1000, 46);
  UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  const std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_PARTIAL), CMS_ContentInfo_free);
  ASSERT_TRUE(in && cms);
  CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert_.get(), key_.get(), md, CMS_BINARY);
  ASSERT_NE(si, nullptr);
  X509_ALGOR* digest_alg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest_alg, nullptr);
  ASSERT_NE(digest_alg, nullptr);
  EXPECT_EQ(OBJ_obj2nid(digest_alg->algorithm), NID_undef);
  EXPECT_EQ(CMS_final(cms.get(), in.get(), nullptr, CMS_BINARY), 0);
  qcrypto::ERR_clear_error();
}

// The module decodes public keys only, so the stock command reads no GOST
// private key: it can neither sign with one nor open a message for a GOST
// recipient. The key file is the private key's own DER, which our code reads
// (OpenSSL's DSA decoder takes a GOST R 34.10-94 one for a DSA key, which
// then matches neither the certificate nor the recipient).
TEST_P(GostWithTheModule, StockCommandReadsNoPrivateKey) {
  const bool r3410 = GetParam() == PkiKeyType::kR3410;
  unsigned char* der = nullptr;
  const int n = r3410 ? qcrypto::i2d_R3410PrivateKey(qcrypto::evp_pkey_get0_r3410(key_.get()), &der)
                      : qcrypto::i2d_ECGOSTPrivateKey(qcrypto::evp_pkey_get0_ecgost(key_.get()), &der);
  ASSERT_GT(n, 0);
  const Bytes key_der(der, der + n);
  OPENSSL_free(der);
  const unsigned char* p = key_der.data();
  if (r3410) {
    qcrypto::R3410* back = qcrypto::d2i_R3410PrivateKey(nullptr, &p, n);
    EXPECT_NE(back, nullptr);
    qcrypto::R3410_free(back);
  } else {
    qcrypto::ECGOST* back = qcrypto::d2i_ECGOSTPrivateKey(nullptr, &p, n);
    EXPECT_NE(back, nullptr);
    qcrypto::ECGOST_free(back);
  }
  write_file(path("key.der"), key_der);
  {
    UniquePtr<BIO> out(BIO_new_file(path("cert.pem").c_str(), "w"));
    ASSERT_TRUE(out);
    ASSERT_EQ(PEM_write_bio_X509(out.get(), cert_.get()), 1);
  }
  const Bytes content = pkcs7_test::pattern(3000, 47);
  write_file(path("content.bin"), content);
  // A message for the signer as recipient, which opens here.
  UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  UniquePtr<BIO> envelope(BIO_new(BIO_s_mem()));
  ASSERT_TRUE(in && envelope);
  const qcrypto::EnvelopeRecipient recipients[] = {{cert_.get(), 0}};
  ASSERT_EQ(
      qcrypto::envelope_encrypt_bio(recipients, qcrypto::EVP_rus_gammar(), in.get(), content.size(), envelope.get()),
      1);
  const Bytes msg = pkcs7_test::bio_bytes(envelope.get());
  write_file(path("msg.p7m"), msg);
  UniquePtr<BIO> msg_in(BIO_new_mem_buf(msg.data(), static_cast<int>(msg.size())));
  UniquePtr<BIO> opened(BIO_new(BIO_s_mem()));
  ASSERT_EQ(qcrypto::envelope_decrypt_bio(msg_in.get(), key_.get(), cert_.get(), opened.get()), 1);
  EXPECT_EQ(pkcs7_test::bio_bytes(opened.get()), content);

  struct Row {
    const char* name;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"cms -sign",
       {"cms", "-sign", "-binary", "-in", path("content.bin"), "-signer", path("cert.pem"), "-inkey", path("key.der"),
        "-keyform", "DER", "-nodetach", "-outform", "DER", "-out", "/dev/null"}},
      {"cms -decrypt",
       {"cms", "-decrypt", "-inform", "DER", "-in", path("msg.p7m"), "-recip", path("cert.pem"), "-inkey",
        path("key.der"), "-keyform", "DER", "-out", "/dev/null"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const test_support::ProgramResult r = run_openssl_with_module(row.args);
    EXPECT_NE(r.status, 0) << r.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, GostWithTheModule, ::testing::Values(PkiKeyType::kR3410, PkiKeyType::kEcr3410),
                         [](const auto& row) { return std::string(type_name(row.param)); });

}  // namespace
}  // namespace signed_test
