// A key container on the emulated token over pcscd, through the toolkit and
// the token medium on the real libvxsdk.so: the key loads and signs, and
// the signature verifies.
#include <filesystem>

#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/library.h"
#include "crypto/pse/pse.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_verified.h"
#include "tests/vxsdk/e2e_fixture.h"

namespace quillon2 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using qcrypto::testing_support::read_whole;

int g_prompts = 0;
int AnswerPin(char* buffer, int size, int /*flags*/, void* /*user*/) {
  ++g_prompts;
  std::snprintf(buffer, static_cast<size_t>(size), "1234");
  return 4;
}

class TokenKeysE2e : public vxsdk_e2e::TokenE2e {
 protected:
  void SetUp() override {
    TokenE2e::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    started_ = true;
    root_ = fs::temp_directory_path() / ("dossar-token-keys-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    // The real SDK from its build folder; the PC/SC service from the system.
    ::setenv("DOSSAR_LIB_PATH", VXSDK_LIBRARY_DIR, 1);
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    qcrypto::cadb_library_init();
    QL_set_token_password_callback(AnswerPin);
    g_prompts = 0;
  }
  void TearDown() override {
    if (started_) {
      QL_set_token_password_callback(nullptr);
      qcrypto::cadb_library_cleanup();
      while (QL_is_initialized() != 0) {
        QL_cleanup();
      }
      fs::remove_all(root_);
      ::unsetenv("DOSSAR_LIB_PATH");
    }
    TokenE2e::TearDown();
  }

  // The disk container placed on `medium`: the key file's path there.
  static std::string PlaceContainer(const qcrypto::testing_support::PseFixture& f, const char* medium) {
    std::string failure;
    const std::string key = qcrypto::testing_support::place_pse_container(f, medium, &failure);
    EXPECT_FALSE(key.empty()) << failure;
    return key;
  }

  bool started_ = false;
  fs::path root_;
};

class TokenKeysOnEachGeneration : public TokenKeysE2e, public ::testing::WithParamInterface<const char*> {};

TEST_P(TokenKeysOnEachGeneration, KeyContainerOnTheTokenSigns) {
  Present(GetParam());
  auto f = qcrypto::testing_support::make_pse_fixture((root_ / "disk" / "pse").string(),
                                                      qcrypto::testing_support::PseFormat::V31, false, 1);
  ASSERT_NE(f, nullptr);
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  const qcrypto::UniquePtr<X509> cert =
      test_support::ql_trust_own_certificate(f->keys.front().key_pair.get(), "Key on the token");
  ASSERT_NE(cert, nullptr);

  const std::string medium = "Vexil T 00 00:\\b000";
  const std::string key = PlaceContainer(*f, medium.c_str());
  ASSERT_FALSE(HasFailure());
  EXPECT_NE(Control("dump").find("/E007/B000"), std::string::npos) << Control("dump");
  ASSERT_EQ(QL_load_key(medium.c_str(), 0, key.c_str(), nullptr), QL_OK);

  const Bytes doc = {'o', 'n', ' ', 't', 'h', 'e', ' ', 't', 'o', 'k', 'e', 'n'};
  const std::string in = (root_ / "doc.bin").string();
  const std::string out = (root_ / "doc.sgn").string();
  ASSERT_TRUE(qcrypto::testing_support::write_whole(in, doc));
  std::unique_ptr<QL_SIGN_SET, void (*)(QL_SIGN_SET*)> signing(QL_SIGN_SET_new(), QL_SIGN_SET_free);
  ASSERT_EQ(X509_up_ref(cert.get()), 1);
  signing->certificates.emplace_back(cert.get());
  ASSERT_EQ(QL_sign_file(signing.get(), in.c_str(), out.c_str(), 0), QL_OK);
  EXPECT_EQ(test_support::ql_verified_content(read_whole(out)), doc);
}

INSTANTIATE_TEST_SUITE_P(Personas, TokenKeysOnEachGeneration, ::testing::Values("K1", "K2-13"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           return std::string(i.param[1] == '1' ? "Older" : "Newer");
                         });

}  // namespace
}  // namespace quillon2
