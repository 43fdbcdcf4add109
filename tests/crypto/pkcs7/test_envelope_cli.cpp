// Interop with the stock `openssl cms` command: a message of ours for an RSA
// recipient with DES-EDE3-CBC opens there, and one made there opens here.
// Also the file forms: the output appears only when the whole message was
// good, a failed or cancelled run leaves nothing behind, and an input that is
// not a regular file is refused without waiting on it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "pkcs7_test_util.h"
#include "tests/support/nonregular_input.h"
#include "tests/support/run_program.h"

namespace pkcs7_test {
namespace {

test_support::ProgramResult run_openssl(std::vector<std::string> args) {
  args.insert(args.begin(), DOSSAR_OPENSSL_PROGRAM);
  return test_support::run_program(args);
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

class EnvelopeFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qcrypto::evp_provider_start(), 1);
    qcrypto::ERR_load_crypto_strings();
    Pki::get();
  }
  void SetUp() override {
    qcrypto::RAND_set_rand_method(&kSystemRand);
    char tmpl[] = "/tmp/dossar-envelope-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& n : list_dir(dir_)) unlink((dir_ + "/" + n).c_str());
    rmdir(dir_.c_str());
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }

  // The RSA party's certificate and key as PEM files.
  void write_rsa_pem() {
    const Party& p = Pki::get().party(KeyKind::kRsa);
    UniquePtr<BIO> c(BIO_new_file(path("cert.pem").c_str(), "w"));
    UniquePtr<BIO> k(BIO_new_file(path("key.pem").c_str(), "w"));
    ASSERT_TRUE(c && k);
    ASSERT_EQ(PEM_write_bio_X509(c.get(), p.cert.get()), 1);
    ASSERT_EQ(PEM_write_bio_PrivateKey(k.get(), p.key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
  }

  std::string dir_;
};

const EVP_CIPHER* des3() {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  return c;
}

TEST_F(EnvelopeFiles, OursOpensWithTheStockCommand) {
  write_rsa_pem();
  const Bytes plain = pattern(20000, 31);
  write_file(path("plain.bin"), plain);
  const qcrypto::EnvelopeRecipient r[] = {{Pki::get().party(KeyKind::kRsa).cert.get(), 1}};
  ASSERT_EQ(qcrypto::envelope_encrypt_file(r, des3(), path("plain.bin").c_str(), path("msg.p7").c_str()), 1);
  const test_support::ProgramResult run =
      run_openssl({"cms", "-decrypt", "-inform", "DER", "-in", path("msg.p7"), "-recip", path("cert.pem"), "-inkey",
                   path("key.pem"), "-binary", "-out", path("back.bin")});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read_file(path("back.bin")), plain);
}

TEST_F(EnvelopeFiles, StockCommandOutputOpensHere) {
  write_rsa_pem();
  const Bytes plain = pattern(20000, 32);
  write_file(path("plain.bin"), plain);
  // DER, the streamed BER form the command writes with -stream, and PEM.
  for (const std::string form : {"der", "stream", "pem"}) {
    SCOPED_TRACE(form);
    const bool stream = form == "stream";
    std::vector<std::string> args = {"cms",  "-encrypt",        "-des3",    "-binary",
                                     "-in",  path("plain.bin"), "-outform", form == "pem" ? "PEM" : "DER",
                                     "-out", path("msg.p7")};
    if (stream) args.emplace_back("-stream");
    args.push_back(path("cert.pem"));
    const test_support::ProgramResult run = run_openssl(args);
    ASSERT_EQ(run.status, 0) << run.output;
    const Party& p = Pki::get().party(KeyKind::kRsa);
    ASSERT_EQ(
        qcrypto::envelope_decrypt_file(path("msg.p7").c_str(), path("back.bin").c_str(), p.key.get(), p.cert.get()), 1);
    EXPECT_EQ(read_file(path("back.bin")), plain);
    unlink(path("back.bin").c_str());
  }
}

int cancel_at_two(int, long, long, void* user) { return ++*static_cast<int*>(user) < 2 ? 1 : 0; }

TEST_F(EnvelopeFiles, NothingUnderTheFinalNameUnlessTheWholeMessageChecksOut) {
  const Party& p = Pki::get().party(KeyKind::kEcr3410);
  const Bytes plain = pattern(3 * qcrypto::ENVELOPE_BLOCK, 33);
  write_file(path("plain.bin"), plain);
  const qcrypto::EnvelopeRecipient r[] = {{p.cert.get(), 1}};
  ASSERT_EQ(qcrypto::envelope_encrypt_file(r, des3(), path("plain.bin").c_str(), path("msg.p7").c_str()), 1);
  const Bytes msg = read_file(path("msg.p7"));
  const std::vector<std::string> before = {"msg.p7", "plain.bin"};
  EXPECT_EQ(list_dir(dir_), before);

  // A changed last block fails only at the final padding check, after every
  // other block was decrypted: the target must still not appear. The bit
  // flipped in the next-to-last ciphertext block flips the same bit of the
  // last plaintext byte, the padding length (1 to 8), so the padding is
  // always wrong (changing the last block itself leaves it right 1 time in
  // about 256).
  Bytes bad = msg;
  bad[bad.size() - 9] ^= 0x80;
  write_file(path("bad.p7"), bad);
  EXPECT_EQ(qcrypto::envelope_decrypt_file(path("bad.p7").c_str(), path("out.bin").c_str(), p.key.get(), p.cert.get()),
            0);
  // Truncated by one byte, and cancelled in the middle.
  write_file(path("cut.p7"), Bytes(msg.begin(), msg.end() - 1));
  EXPECT_EQ(qcrypto::envelope_decrypt_file(path("cut.p7").c_str(), path("out.bin").c_str(), p.key.get(), p.cert.get()),
            0);
  int calls = 0;
  EXPECT_EQ(qcrypto::envelope_decrypt_file(path("msg.p7").c_str(), path("out.bin").c_str(), p.key.get(), p.cert.get(),
                                           {cancel_at_two, &calls}),
            qcrypto::ENVELOPE_CANCELLED);
  calls = 0;
  EXPECT_EQ(qcrypto::envelope_encrypt_file(r, des3(), path("plain.bin").c_str(), path("out2.p7").c_str(),
                                           {cancel_at_two, &calls}),
            qcrypto::ENVELOPE_CANCELLED);
  const std::vector<std::string> after = {"bad.p7", "cut.p7", "msg.p7", "plain.bin"};
  EXPECT_EQ(list_dir(dir_), after);

  // A good run replaces the target as a whole.
  write_file(path("out.bin"), Bytes{'o', 'l', 'd'});
  EXPECT_EQ(qcrypto::envelope_decrypt_file(path("msg.p7").c_str(), path("out.bin").c_str(), p.key.get(), p.cert.get()),
            1);
  EXPECT_EQ(read_file(path("out.bin")), plain);
  qcrypto::ERR_clear_error();
}

TEST_F(EnvelopeFiles, InputsThatAreNotRegularFilesAreRefused) {
  const std::vector<test_support::NonRegularInput> inputs = test_support::make_nonregular_inputs(dir_);
  ASSERT_EQ(inputs.size(), 2U);
  const Party& p = Pki::get().party(KeyKind::kRsa);
  const qcrypto::EnvelopeRecipient r[] = {{p.cert.get(), 1}};
  const std::string out = path("out.bin");
  for (const auto& input : inputs) {
    for (const bool encrypt : {true, false}) {
      SCOPED_TRACE(std::string(input.what) + (encrypt ? " encrypt" : " decrypt"));
      const std::optional<int> rc = test_support::call_with_deadline(inputs[0].path, [&] {
        return encrypt ? qcrypto::envelope_encrypt_file(r, des3(), input.path.c_str(), out.c_str())
                       : qcrypto::envelope_decrypt_file(input.path.c_str(), out.c_str(), p.key.get(), p.cert.get());
      });
      ASSERT_TRUE(rc.has_value()) << "the call waited on the input";
      EXPECT_EQ(*rc, 0);
      EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"fifo", "folder"}));
    }
  }
  rmdir(path("folder").c_str());
}

}  // namespace
}  // namespace pkcs7_test
