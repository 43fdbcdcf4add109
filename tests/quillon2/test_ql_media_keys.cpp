// Keys in a container on each hardware medium, through the toolkit: every
// failure a driver stand-in can show ends in the toolkit's code, loads no
// key and leaves the container's files as they were; erasing removes only
// what it names.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "crypto/cadb/cadb_file.h"
#include "crypto/cadb/library.h"
#include "crypto/err/err.h"
#include "crypto/pse/pse.h"
#include "crypto/pse/pse_files.h"
#include "crypto/rand/rand.h"
#include "platform/dynlib.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_crypt.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_sign.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/pse_fixture.h"
#include "tests/support/ql_verified.h"

namespace quillon2 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using qcrypto::testing_support::read_whole;

// The PIN prompt: counts its calls and gives the scripted answers in turn
// (the last one repeats); "<cancel>" answers -1.
struct PinScript {
  int calls = 0;
  std::vector<std::string> answers;
};
PinScript g_pin;

int pin_callback(char* buffer, int size, int /*flags*/, void* /*user*/) {
  const std::size_t i = static_cast<std::size_t>(g_pin.calls++);
  const std::string pin = g_pin.answers.empty() ? "1234" : g_pin.answers[std::min(i, g_pin.answers.size() - 1)];
  if (pin == "<cancel>") return -1;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%s", pin.c_str());
  return static_cast<int>(pin.size());
}

// The medium message callback: answers "retry" as often as scripted, then
// gives up.
struct RetryScript {
  int calls = 0;
  int retries = 0;
};
RetryScript g_retry;

int retry_callback(int /*port1*/, int /*port2*/, int /*status*/) {
  ++g_retry.calls;
  if (g_retry.retries == 0) return 0;
  --g_retry.retries;
  return 1;
}

enum class Medium { Vexil, VxR2, IButton, Disk };

// Every file below a folder with its bytes: the state a failed call must
// leave alone.
std::map<std::string, Bytes> tree_of(const fs::path& root) {
  std::map<std::string, Bytes> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) out[it->path().string()] = read_whole(it->path().string());
  }
  return out;
}

// Calls of each driver export in a stand-in's call log.
std::map<std::string, int> calls_in(const fs::path& log) {
  std::map<std::string, int> n;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) ++n[line];
  return n;
}

// A row's code that says: the key loads, or the load fails and loads none.
constexpr int kAnyOutcome = -1;

class MediaKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("dossar-ql-media-keys-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "vxsdk" / "QRL ifdh 0" / "token");
    fs::create_directories(root_ / "vxapi" / "QRL ifdh 0" / "token" / "3f00" / "e007");
    fs::create_directories(root_ / "ibfs" / "port-1-1" / "button");
    ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/media").c_str(), 1);
    ::unsetenv("DOSSAR_STANDIN_LOG");
    ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    qcrypto::cadb_library_init();  // keeps the drivers bound between the calls
    ASSERT_TRUE(vxsdk_.open("vxsdk"));
    ASSERT_TRUE(vxapi_.open("vxapi.dll"));
    ASSERT_TRUE(ibfs_.open("ibfs32.dll"));
    for (Medium m : {Medium::Vexil, Medium::VxR2, Medium::IButton}) control(m, "");
    g_pin = PinScript{};
    QL_set_token_password_callback(pin_callback);
  }
  void TearDown() override {
    QL_set_token_password_callback(nullptr);
    QL_set_medium_message_callback(nullptr);
    vxsdk_ = platform::DynLib{};
    vxapi_ = platform::DynLib{};
    ibfs_ = platform::DynLib{};
    qcrypto::cadb_library_cleanup();
    while (QL_is_initialized() != 0) QL_cleanup();
    fs::remove_all(root_);
  }

  void control(Medium m, const std::string& extra) {
    using Control = void (*)(const char*);
    if (m == Medium::Disk) return;
    platform::DynLib& lib = m == Medium::Vexil ? vxsdk_ : m == Medium::VxR2 ? vxapi_ : ibfs_;
    const char* folder = m == Medium::Vexil ? "vxsdk" : m == Medium::VxR2 ? "vxapi" : "ibfs";
    const std::string text = "root=" + (root_ / folder).string() + (extra.empty() ? "" : "," + extra);
    reinterpret_cast<Control>(lib.symbol("StandinMediaControl"))(text.c_str());
  }
  fs::path backing(Medium m) const {
    switch (m) {
      case Medium::Vexil:
        return root_ / "vxsdk";
      case Medium::VxR2:
        return root_ / "vxapi";
      case Medium::IButton:
        return root_ / "ibfs";
      case Medium::Disk:
        return root_ / "disk";
    }
    return {};
  }

  // A container of format 3.1 made on disk, the source of the copies.
  std::unique_ptr<qcrypto::testing_support::PseFixture> disk_container() const {
    auto f = qcrypto::testing_support::make_pse_fixture((root_ / "disk" / "pse").string(),
                                                        qcrypto::testing_support::PseFormat::V31, false, 3);
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);  // signing draws nonces
    return f;
  }

  // The disk container placed on `medium`: the key file's path there.
  static std::string place_container(const qcrypto::testing_support::PseFixture& f, const char* medium) {
    std::string failure;
    const std::string key = qcrypto::testing_support::place_pse_container(f, medium, &failure);
    EXPECT_FALSE(key.empty()) << failure;
    return key;
  }

  // 1 when the session holds a key with the public part of `pair`.
  static int holds(EVP_PKEY* pair) {
    QL_SESSION* session = QL_session_get();
    int n = 0;
    for (const SessionKey& k : mputil_keys(session)) n += qcrypto::EVP_PKEY_cmp_public(k->pkey, pair);
    QL_session_release(session);
    return n;
  }

  // Signs a document with whatever key the session holds for `cert`, and
  // checks the message it made: the toolkit's code of the signing step.
  int sign_and_verify(X509* cert) const {
    const Bytes doc = {'a', ' ', 'd', 'o', 'c', 'u', 'm', 'e', 'n', 't'};
    const std::string in = (root_ / "doc.bin").string();
    const std::string out = (root_ / "doc.sgn").string();
    fs::remove(out);
    EXPECT_TRUE(qcrypto::testing_support::write_whole(in, doc));
    std::unique_ptr<QL_SIGN_SET, void (*)(QL_SIGN_SET*)> signing(QL_SIGN_SET_new(), QL_SIGN_SET_free);
    EXPECT_EQ(X509_up_ref(cert), 1);
    signing->certificates.emplace_back(cert);
    const int rc = QL_sign_file(signing.get(), in.c_str(), out.c_str(), 0);
    if (rc != QL_OK) {
      EXPECT_FALSE(fs::exists(out)) << "a failed signing left output";
      return rc;
    }
    EXPECT_EQ(test_support::ql_verified_content(read_whole(out)), doc);
    return rc;
  }

  fs::path root_;
  platform::DynLib vxsdk_;
  platform::DynLib vxapi_;
  platform::DynLib ibfs_;
};

// Each medium under each failure its driver can show: the key loads only
// when nothing fails, the prompt is asked as the failure allows, and the
// container's files survive every failed attempt byte for byte.
TEST_F(MediaKeys, LoadingAKeyUnderEveryDriverFailure) {
  auto f = disk_container();
  ASSERT_NE(f, nullptr);
  const qcrypto::UniquePtr<X509> cert =
      test_support::ql_trust_own_certificate(f->keys.front().key_pair.get(), "Key on a medium");
  ASSERT_NE(cert, nullptr);
  struct Place {
    Medium medium;
    std::string path;
    std::string key;
  };
  std::vector<Place> places = {
      {Medium::Vexil, "Vexil:\\b000", ""}, {Medium::VxR2, "vxR2:\\b000", ""}, {Medium::IButton, "iButton:\\PSE", ""}};
  for (Place& p : places) p.key = place_container(*f, p.path.c_str());
  places.push_back({Medium::Disk, f->medium, f->keys.front().path});
  auto place_of = [&](Medium m) -> const Place& {
    for (const Place& p : places)
      if (p.medium == m) return p;
    return places.back();
  };

  enum Pin { NoPrompt, Prompted, EitherWay };
  struct Row {
    Medium medium;
    std::string control;
    std::vector<std::string> pins;
    int code;     // QL_load_key; kAnyOutcome: the key loads, or the load fails and loads none
    Pin prompt;   // whether the PIN was asked for
    int present;  // QL_medium_present; -1 either
    int token;    // QL_token_present; -1 either
  };
  std::vector<Row> rows = {
      {Medium::Disk, "", {}, QL_OK, NoPrompt, 1, 0},
      {Medium::Vexil, "", {}, QL_OK, Prompted, 1, 1},
      {Medium::Vexil, "nodevice", {}, QL_ERR_CONTAINER, NoPrompt, 0, 0},
      {Medium::Vexil, "", {"0000"}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::Vexil, "", {"<cancel>"}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::Vexil, "locked", {}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::Vexil, "fail=VXFileRead", {}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::Vexil, "fail=VXFileOpen@1", {}, QL_ERR_CONTAINER, NoPrompt, 1, 1},
      {Medium::Vexil, "fail=VXRootDirOpen", {}, QL_ERR_CONTAINER, NoPrompt, 0, 0},
      {Medium::Vexil, "pullread=40", {}, QL_ERR_CONTAINER, Prompted, 0, 0},
      {Medium::Vexil, "pullread=key", {}, QL_ERR_KEY_FILE, Prompted, 0, 0},
      {Medium::VxR2, "", {}, QL_OK, Prompted, 1, 1},
      {Medium::VxR2, "nodevice", {}, QL_ERR_CONTAINER, NoPrompt, 0, 0},
      {Medium::VxR2, "", {"0000"}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::VxR2, "", {"<cancel>"}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::VxR2, "locked", {}, QL_ERR_CONTAINER, Prompted, 1, 1},
      {Medium::VxR2, "fail=VEXIL_read", {}, QL_ERR_CONTAINER, NoPrompt, 1, 1},
      {Medium::VxR2, "pullread=40", {}, QL_ERR_CONTAINER, Prompted, 0, 0},
      {Medium::VxR2, "pullread=key", {}, QL_ERR_KEY_FILE, Prompted, 0, 0},
      {Medium::IButton, "", {}, QL_OK, NoPrompt, 1, 0},
      {Medium::IButton, "nodevice", {}, QL_ERR_CONTAINER, NoPrompt, 0, 0},
      {Medium::IButton, "fail=TMOpenFile", {}, QL_ERR_CONTAINER, NoPrompt, 1, 0},
      {Medium::IButton, "fail=TMReadFile", {}, QL_ERR_CONTAINER, NoPrompt, 1, 0},
      {Medium::IButton, "fail=TMReadFile@1", {}, QL_ERR_CONTAINER, NoPrompt, 1, 0},
      {Medium::IButton, "pullread=40", {}, QL_ERR_CONTAINER, NoPrompt, 0, 0},
      {Medium::IButton, "pullread=key", {}, QL_ERR_KEY_FILE, NoPrompt, 0, 0},
  };
  // Every driver export a load calls, failing at its first call and at its
  // last: counted from the stand-in's log of a clean load.
  const fs::path log = root_ / "calls.log";
  for (Medium m : {Medium::Vexil, Medium::VxR2, Medium::IButton}) {
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    control(m, "");
    fs::remove(log);
    ::setenv("DOSSAR_STANDIN_LOG", log.c_str(), 1);
    const int clean = QL_load_key(place_of(m).path.c_str(), 0, place_of(m).key.c_str(), nullptr);
    ::unsetenv("DOSSAR_STANDIN_LOG");
    ASSERT_EQ(clean, QL_OK);
    const std::map<std::string, int> calls = calls_in(log);
    ASSERT_FALSE(calls.empty());
    for (const auto& [name, n] : calls) {
      rows.push_back({m, "fail=" + name + "@1", {}, kAnyOutcome, EitherWay, -1, -1});
      if (n > 1) rows.push_back({m, "fail=" + name + "@" + std::to_string(n), {}, kAnyOutcome, EitherWay, -1, -1});
    }
  }
  // "pullread=key": the device goes away half-way through the key file,
  // after the container's own files were read whole.
  long container_bytes = 0;
  for (int kind : {qcrypto::PSE31_MKEY, qcrypto::PSE31_MASKS, qcrypto::PSE31_KEK}) {
    char path[qcrypto::PSE_PATH_BUFFER];
    container_bytes += static_cast<long>(read_whole(qcrypto::PSE_file_path(path, f->medium.c_str(), kind)).size());
  }
  const std::string mid_key =
      "pullread=" + std::to_string(container_bytes + static_cast<long>(read_whole(f->keys.front().path).size()) / 2);
  int generated = 0;
  int generated_failed = 0;
  for (const Row& row : rows) {
    const Place& p = place_of(row.medium);
    SCOPED_TRACE(p.path + " [" + row.control + "]" + (row.pins.empty() ? "" : " pin " + row.pins.front()));
    const auto before = tree_of(backing(row.medium));
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    const std::string& setting = row.control == "pullread=key" ? mid_key : row.control;
    control(row.medium, setting);
    g_pin = PinScript{};
    g_pin.answers = row.pins;

    const int code = QL_load_key(p.path.c_str(), 0, p.key.c_str(), nullptr);
    if (row.code == kAnyOutcome) {
      EXPECT_TRUE(code == QL_OK || code == QL_ERR_CONTAINER || code == QL_ERR_KEY_FILE) << code;
      ++generated;
      generated_failed += code != QL_OK ? 1 : 0;
    } else {
      EXPECT_EQ(code, row.code);
    }
    EXPECT_EQ(holds(f->keys.front().key_pair.get()), code == QL_OK ? 1 : 0);
    if (row.prompt != EitherWay) {
      EXPECT_EQ(g_pin.calls > 0, row.prompt == Prompted) << g_pin.calls;
    }
    if (code == QL_OK) {
      // Every key of the container's own folder, by name too.
      ASSERT_EQ(QL_clear_keys(), QL_OK);
      EXPECT_EQ(QL_load_key_by_name(p.path.c_str(), p.key.c_str()), QL_OK);
      EXPECT_EQ(holds(f->keys.front().key_pair.get()), 1);
    }
    EXPECT_EQ(sign_and_verify(cert.get()), code == QL_OK ? QL_OK : QL_ERR_NO_SIGNER_KEY);
    // The whole key folder under the same failure, the counters restarted:
    // a key that cannot be read is passed over, a container that cannot be
    // opened fails the call. Its calls differ from one key's, so a failing
    // call counted for the one key lands elsewhere in the folder's load.
    control(row.medium, setting);
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    const int all = QL_load_keys(p.path.c_str(), nullptr);
    if (row.code == kAnyOutcome) {
      EXPECT_TRUE(all == QL_OK || all == QL_ERR_CONTAINER) << all;
      EXPECT_LE(holds(f->keys.front().key_pair.get()), all == QL_OK ? 1 : 0);
    } else {
      EXPECT_EQ(all, row.code == QL_ERR_CONTAINER ? QL_ERR_CONTAINER : QL_OK);
      EXPECT_EQ(holds(f->keys.front().key_pair.get()), row.code == QL_OK ? 1 : 0);
    }
    const int present = QL_medium_present(p.path.c_str());
    if (row.present >= 0) {
      EXPECT_EQ(present, row.present);
    }
    EXPECT_EQ(QL_get_last_error(), QL_OK);
    const int token = QL_token_present(p.path.c_str());
    if (row.token >= 0) {
      EXPECT_EQ(token, row.token);
    }

    control(row.medium, "");
    EXPECT_EQ(tree_of(backing(row.medium)), before) << "a failed load changed the medium";
  }
  // Most of the generated failures cannot be worked around; the rows are
  // there for them.
  EXPECT_GT(generated_failed, generated / 2) << generated_failed << " of " << generated;

  // Erasing a key file under each failure its medium can show, and under
  // every driver export an erase calls failing at its first and its last
  // call: the erase is refused and the file stays (its bytes, or zeros as
  // far as the wipe before the deletion got), or the file is gone - never
  // "erased" with the file still there. Then a clean erase removes that
  // file only.
  struct EraseRow {
    std::string control;
    std::vector<std::string> pins;
    int code;  // kAnyOutcome: QL_OK with the file gone or QL_ERR_OUTPUT with it kept
  };
  const std::map<Medium, std::vector<EraseRow>> erase_rows = {
      {Medium::Vexil,
       {{"nodevice", {}, QL_ERR_OUTPUT},
        {"pull=1", {}, QL_ERR_OUTPUT},
        {"locked", {}, QL_ERR_OUTPUT},
        {"", {"0000"}, QL_ERR_OUTPUT},
        {"", {"<cancel>"}, QL_ERR_OUTPUT}}},
      {Medium::VxR2,
       {{"nodevice", {}, QL_ERR_OUTPUT},
        {"pull=1", {}, QL_ERR_OUTPUT},
        {"locked", {}, QL_ERR_OUTPUT},
        {"", {"0000"}, QL_ERR_OUTPUT},
        {"", {"<cancel>"}, QL_ERR_OUTPUT}}},
      // A button has no PIN, and its erase writes no bytes a pull could cut.
      {Medium::IButton, {{"nodevice", {}, QL_ERR_OUTPUT}, {"pull=1", {}, QL_OK}, {"locked", {}, QL_OK}}},
  };
  auto restore = [](const std::map<std::string, Bytes>& tree) {
    for (const auto& [name, bytes] : tree) ASSERT_TRUE(qcrypto::testing_support::write_whole(name, bytes)) << name;
  };
  for (const Place& p : places) {
    SCOPED_TRACE(p.path);
    const auto before = tree_of(backing(p.medium));
    if (p.medium != Medium::Disk) {
      // The key file's own backing, from a clean erase, and the calls that
      // erase makes.
      control(p.medium, "");
      fs::remove(log);
      ::setenv("DOSSAR_STANDIN_LOG", log.c_str(), 1);
      const int clean = QL_erase_file(p.key.c_str());
      ::unsetenv("DOSSAR_STANDIN_LOG");
      ASSERT_EQ(clean, QL_OK);
      std::string key_backing;
      {
        const auto gone = tree_of(backing(p.medium));
        for (const auto& [name, bytes] : before)
          if (gone.count(name) == 0) key_backing = name;
        ASSERT_EQ(gone.size() + 1, before.size());
      }
      const Bytes key_bytes = before.at(key_backing);
      std::vector<EraseRow> rows_here = erase_rows.at(p.medium);
      for (const auto& [name, n] : calls_in(log)) {
        rows_here.push_back({"fail=" + name + "@1", {}, kAnyOutcome});
        if (n > 1) rows_here.push_back({"fail=" + name + "@" + std::to_string(n), {}, kAnyOutcome});
      }
      int refused = 0;
      for (const EraseRow& row : rows_here) {
        SCOPED_TRACE("[" + row.control + "]" + (row.pins.empty() ? "" : " pin " + row.pins.front()));
        control(p.medium, "");
        restore(before);
        control(p.medium, row.control);
        g_pin = PinScript{};
        g_pin.answers = row.pins;
        const int code = QL_erase_file(p.key.c_str());
        control(p.medium, "");
        if (row.code == kAnyOutcome) {
          EXPECT_TRUE(code == QL_OK || code == QL_ERR_OUTPUT) << code;
        } else {
          EXPECT_EQ(code, row.code);
        }
        auto after = tree_of(backing(p.medium));
        const auto kept = after.find(key_backing);
        if (code == QL_OK) {
          EXPECT_EQ(kept, after.end()) << "erased, yet the file is still there";
        } else {
          ++refused;
          ASSERT_NE(kept, after.end()) << "a refused erase removed the file";
          ASSERT_EQ(kept->second.size(), key_bytes.size());
          for (std::size_t i = 0; i < key_bytes.size(); ++i) {
            ASSERT_TRUE(kept->second[i] == key_bytes[i] || kept->second[i] == 0) << "byte " << i;
          }
          after.erase(kept);
        }
        auto rest = before;
        rest.erase(key_backing);
        EXPECT_EQ(after, rest) << "the erase touched another file";
      }
      EXPECT_GT(refused, 0);
      control(p.medium, "");
      restore(before);
      g_pin = PinScript{};
    }
    EXPECT_EQ(QL_erase_file(p.key.c_str()), QL_OK);
    const auto after = tree_of(backing(p.medium));
    EXPECT_EQ(after.size() + 1, before.size());
    for (const auto& [name, bytes] : after) EXPECT_EQ(before.at(name), bytes) << name;
    EXPECT_EQ(QL_load_key(p.path.c_str(), 0, p.key.c_str(), nullptr), QL_ERR_KEY_FILE);
  }
}

// How many times a name occurs in the stand-in's call log.
int calls_logged(const fs::path& log, const std::string& name) {
  int n = 0;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) n += line == name ? 1 : 0;
  return n;
}

// The PIN prompt over a run of loads from one token, on either token API: a
// wrong PIN fails the load that asked and the next load asks again; a
// cancelled prompt fails without trying the token; three wrong PINs lock
// it, after which even the right PIN is refused, as it is on a token locked
// from the start. Each load of the right PIN alone asks a fixed number of
// times, the baseline the other runs are measured against. No refused PIN
// changes the container's files.
TEST_F(MediaKeys, PinPromptsOverSuccessiveLoads) {
  auto f = disk_container();
  ASSERT_NE(f, nullptr);
  const fs::path log = root_ / "calls.log";
  struct Token {
    Medium medium;
    std::string path;
    const char* login;  // the export that logs in, when the API has one of its own
  };
  const Token tokens[] = {{Medium::Vexil, "Vexil:\\b000", "VXTokenLogin"}, {Medium::VxR2, "vxR2:\\b000", nullptr}};
  struct Row {
    const char* what;
    const char* control;
    std::vector<std::string> answers;  // in the order asked
    std::vector<int> codes;            // of the successive loads
    int logins;                        // log-ins tried by the failed loads
  };
  const Row rows[] = {
      {"wrong, then right", "", {"0000", "1234"}, {QL_ERR_CONTAINER, QL_OK}, 1},
      {"cancelled, then right", "", {"<cancel>", "1234"}, {QL_ERR_CONTAINER, QL_OK}, 0},
      {"empty answer, then right", "", {"", "1234"}, {QL_ERR_CONTAINER, QL_OK}, 0},
      {"three wrong lock the token",
       "",
       {"1", "2", "3", "1234"},
       {QL_ERR_CONTAINER, QL_ERR_CONTAINER, QL_ERR_CONTAINER, QL_ERR_CONTAINER},
       4},
      {"locked from the start", "locked", {"1234"}, {QL_ERR_CONTAINER, QL_ERR_CONTAINER}, 2},
  };
  for (const Token& t : tokens) {
    SCOPED_TRACE(t.path);
    const std::string key = place_container(*f, t.path.c_str());
    const auto before = tree_of(backing(t.medium));
    control(t.medium, "");
    fs::remove(log);
    ::setenv("DOSSAR_STANDIN_LOG", log.c_str(), 1);

    // The prompts and logins of one load with the right PIN.
    g_pin = PinScript{};
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    ASSERT_EQ(QL_load_key(t.path.c_str(), 0, key.c_str(), nullptr), QL_OK);
    const int per_load = g_pin.calls;
    ASSERT_GE(per_load, 1);
    if (t.login != nullptr) {
      ASSERT_EQ(calls_logged(log, t.login), per_load);
    }

    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      control(t.medium, row.control);
      fs::remove(log);
      g_pin = PinScript{};
      g_pin.answers = row.answers;
      int succeeded = 0;
      for (std::size_t i = 0; i < row.codes.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(QL_clear_keys(), QL_OK);
        EXPECT_EQ(QL_load_key(t.path.c_str(), 0, key.c_str(), nullptr), row.codes[i]);
        EXPECT_EQ(holds(f->keys.front().key_pair.get()), row.codes[i] == QL_OK ? 1 : 0);
        succeeded += row.codes[i] == QL_OK ? 1 : 0;
      }
      const int failed = static_cast<int>(row.codes.size()) - succeeded;
      // A failed load stops at its first refused prompt.
      EXPECT_EQ(g_pin.calls, succeeded * per_load + failed);
      if (t.login != nullptr) {
        EXPECT_EQ(calls_logged(log, t.login), succeeded * per_load + row.logins);
      }
      EXPECT_EQ(tree_of(backing(t.medium)), before);
    }
    ::unsetenv("DOSSAR_STANDIN_LOG");
  }
}

// A button that fails a read: the message callback is asked, and the load
// succeeds when it asks to retry, fails when it gives up, with the
// container's files untouched either way.
TEST_F(MediaKeys, ButtonFailuresRetriedThroughTheMessageCallback) {
  auto f = disk_container();
  ASSERT_NE(f, nullptr);
  const std::string medium = "iButton:\\PSE";
  const std::string key = place_container(*f, medium.c_str());
  const auto before = tree_of(backing(Medium::IButton));
  QL_set_medium_message_callback(retry_callback);
  struct Row {
    const char* control;
    int retries;  // the callback's "retry" answers
    int code;
    int asked;  // how often the callback is asked
  };
  // Giving up fails the container of format 3.1; the older format is then
  // looked for, and its absent file is one more failure shown to the user.
  const Row rows[] = {
      {"", 0, QL_OK, 0},
      {"fail=TMReadFile@1", 1, QL_OK, 1},
      {"fail=TMReadFile@1", 0, QL_ERR_CONTAINER, 2},
      {"fail=TMOpenFile@1", 1, QL_OK, 1},
      {"fail=TMOpenFile@1", 0, QL_ERR_CONTAINER, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.control) + " retries " + std::to_string(row.retries));
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    control(Medium::IButton, row.control);
    g_retry = RetryScript{};
    g_retry.retries = row.retries;
    EXPECT_EQ(QL_load_key(medium.c_str(), 0, key.c_str(), nullptr), row.code);
    EXPECT_EQ(holds(f->keys.front().key_pair.get()), row.code == QL_OK ? 1 : 0);
    EXPECT_EQ(g_retry.calls, row.asked);
    control(Medium::IButton, "");
    EXPECT_EQ(tree_of(backing(Medium::IButton)), before);
  }
}

// Without the drivers no medium answers: every load fails without a prompt,
// no medium or token is present, and the disk container still loads.
TEST_F(MediaKeys, AbsentDriversLoadNothing) {
  auto f = disk_container();
  ASSERT_NE(f, nullptr);
  std::vector<std::pair<std::string, std::string>> places;
  for (const char* medium : {"Vexil:\\b000", "vxR2:\\b000", "iButton:\\PSE"})
    places.emplace_back(medium, place_container(*f, medium));
  // Unbind everything, then bind again from a folder without the drivers.
  vxsdk_ = platform::DynLib{};
  vxapi_ = platform::DynLib{};
  ibfs_ = platform::DynLib{};
  while (QL_is_initialized() != 0) QL_cleanup();
  qcrypto::cadb_library_cleanup();
  ::setenv("DOSSAR_LIB_PATH", (std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib").c_str(), 1);
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  qcrypto::cadb_library_init();
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  for (const auto& [medium, key] : places) {
    SCOPED_TRACE(medium);
    g_pin = PinScript{};
    EXPECT_EQ(QL_load_key(medium.c_str(), 0, key.c_str(), nullptr), QL_ERR_CONTAINER);
    EXPECT_EQ(holds(f->keys.front().key_pair.get()), 0);
    EXPECT_EQ(g_pin.calls, 0);
    EXPECT_EQ(QL_medium_present(medium.c_str()), 0);
    EXPECT_EQ(QL_token_present(medium.c_str()), 0);
  }
  EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, f->keys.front().path.c_str(), nullptr), QL_OK);
  EXPECT_EQ(holds(f->keys.front().key_pair.get()), 1);
}

// Without the PC/SC service ("WinSCard.dll") neither token driver binds:
// both token media are absent, without a prompt and without touching their
// files, while the button and the disk load as before.
TEST_F(MediaKeys, WithoutThePcscServiceOnlyTheTokensAreAbsent) {
  auto f = disk_container();
  ASSERT_NE(f, nullptr);
  struct Place {
    Medium medium;
    std::string path;
    std::string key;
    int code;
  };
  std::vector<Place> places = {{Medium::Vexil, "Vexil:\\b000", "", QL_ERR_CONTAINER},
                               {Medium::VxR2, "vxR2:\\b000", "", QL_ERR_CONTAINER},
                               {Medium::IButton, "iButton:\\PSE", "", QL_OK}};
  for (Place& p : places) p.key = place_container(*f, p.path.c_str());
  // The three drivers, and no PC/SC service beside them.
  const fs::path libs = root_ / "no-pcsc";
  fs::create_directories(libs);
  const fs::path media = fs::path(DOSSAR_BINARY_DIR) / "stand-ins" / "media";
  for (const char* name : {"libvxsdk.so", "libvxapi.so", "libibfs32.so"}) {
    ASSERT_TRUE(fs::exists(media / name)) << name;
    fs::create_symlink(media / name, libs / name);
  }
  ASSERT_TRUE(fs::exists(media / "libWinSCard.so"));
  // A machine without the service: the system's own is not taken either.
  platform::dynlib_register_system_name("WinSCard.dll", "");
  while (QL_is_initialized() != 0) QL_cleanup();
  qcrypto::cadb_library_cleanup();
  ::setenv("DOSSAR_LIB_PATH", libs.c_str(), 1);
  ASSERT_EQ(QL_init(nullptr, 0), QL_OK);
  qcrypto::cadb_library_init();
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  for (const Place& p : places) {
    SCOPED_TRACE(p.path);
    const auto before = tree_of(backing(p.medium));
    g_pin = PinScript{};
    ASSERT_EQ(QL_clear_keys(), QL_OK);
    EXPECT_EQ(QL_load_key(p.path.c_str(), 0, p.key.c_str(), nullptr), p.code);
    EXPECT_EQ(holds(f->keys.front().key_pair.get()), p.code == QL_OK ? 1 : 0);
    EXPECT_EQ(g_pin.calls, 0);
    EXPECT_EQ(QL_medium_present(p.path.c_str()), p.code == QL_OK ? 1 : 0);
    EXPECT_EQ(QL_token_present(p.path.c_str()), 0);
    EXPECT_EQ(QL_erase_file(p.key.c_str()), p.code == QL_OK ? QL_OK : QL_ERR_OUTPUT);
    if (p.code != QL_OK) {
      EXPECT_EQ(tree_of(backing(p.medium)), before);
    }
  }
  platform::dynlib_register_system_name("WinSCard.dll", "libpcsclite.so.1");
  ASSERT_EQ(QL_clear_keys(), QL_OK);
  EXPECT_EQ(QL_load_key(f->medium.c_str(), 0, f->keys.front().path.c_str(), nullptr), QL_OK);
  EXPECT_EQ(holds(f->keys.front().key_pair.get()), 1);
}

// A certificate named by its file (look-up mode 0) is read from whichever
// medium the path names, for signers and recipients alike, with the same
// codes for a file that is missing or holds no certificate.
TEST_F(MediaKeys, CertificateFileOnAnyMedium) {
  const qcrypto::UniquePtr<EVP_PKEY> key(test_support::pki_new_key(test_support::PkiKeyType::kEcr3410));
  ASSERT_TRUE(key);
  test_support::PkiCertSpec spec;
  spec.common_name = "Certificate on a medium";
  const qcrypto::UniquePtr<X509> cert(test_support::pki_make_cert(key.get(), spec, nullptr, key.get()));
  ASSERT_TRUE(cert);
  const Bytes der = test_support::to_der(cert.get());
  ASSERT_EQ(QL_add_trusted_certificate(der.data(), static_cast<long>(der.size())), QL_OK);
  const Bytes junk = {'n', 'o', ' ', 'c', 'e', 'r', 't'};
  fs::create_directories(backing(Medium::Disk));
  auto backslashed = [](const fs::path& path) {
    std::string text = path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
  };
  const struct {
    const char* medium;
    std::string cert;     // holds the certificate
    std::string junk;     // holds bytes that are none
    std::string missing;  // is not there
  } places[] = {
      {"token SDK", "Vexil:\\c0de", "Vexil:\\c0df", "Vexil:\\c0e0"},
      {"older token API", "vxR2:\\c0de", "vxR2:\\c0df", "vxR2:\\c0e0"},
      {"button", "iButton:\\cert.001", "iButton:\\junk.001", "iButton:\\none.001"},
      {"file system", (backing(Medium::Disk) / "cert.der").string(), (backing(Medium::Disk) / "junk.der").string(),
       (backing(Medium::Disk) / "none.der").string()},
      // A key-medium path may separate its folders by "\" too.
      {"file system, \\ separators", backslashed(backing(Medium::Disk) / "cert2.der"),
       backslashed(backing(Medium::Disk) / "junk2.der"), backslashed(backing(Medium::Disk) / "none2.der")},
  };
  for (const auto& place : places) {
    SCOPED_TRACE(place.medium);
    ASSERT_EQ(qcrypto::CADB_write_file(place.cert.c_str(), der.data(), static_cast<int>(der.size()), nullptr),
              static_cast<int>(der.size()));
    ASSERT_EQ(qcrypto::CADB_write_file(place.junk.c_str(), junk.data(), static_cast<int>(junk.size()), nullptr),
              static_cast<int>(junk.size()));
    const struct {
      const std::string* path;
      int code;
    } rows[] = {{&place.cert, QL_OK}, {&place.junk, QL_ERR_CERT_DECODE}, {&place.missing, QL_ERR_CERT_FILE}};
    for (const auto& row : rows) {
      SCOPED_TRACE(*row.path);
      const qcrypto::UniquePtr<QL_SIGN_SET> set(QL_SIGN_SET_new());
      QL_CERT_LIST* list = QL_CERT_LIST_new();
      ASSERT_TRUE(set && list);
      EXPECT_EQ(QL_add_signer_certificate(set.get(), QL_LOOKUP_FILE, row.path->c_str(), nullptr), row.code);
      EXPECT_EQ(QL_add_recipient_certificate(list, QL_LOOKUP_FILE, row.path->c_str(), nullptr), row.code);
      ASSERT_EQ(set->certificates.size(), row.code == QL_OK ? 1U : 0U);
      if (row.code == QL_OK) {
        EXPECT_EQ(X509_cmp(set->certificates[0].get(), cert.get()), 0);
        ASSERT_EQ(sk_X509_num(list->certs), 1);
        EXPECT_EQ(X509_cmp(sk_X509_value(list->certs, 0), cert.get()), 0);
      } else {
        EXPECT_EQ(list->certs, nullptr);
      }
      QL_CERT_LIST_free(list);
    }
  }
}

// The master-key record is written with the token's protection flag on both
// token media: the flag is on that file alone, a file the container writes
// otherwise has none, and the record reads back. A button and the file
// system have no such flag and write the record as it is.
TEST_F(MediaKeys, MasterKeyRecordIsProtectedOnTokens) {
  const fs::path token_root = fs::path("QRL ifdh 0") / "token" / "3f00" / "e007" / "b001";
  const struct {
    Medium medium;
    std::string path;
    fs::path folder;  // where a token keeps the container's files
    bool flagged;
  } rows[] = {
      {Medium::Vexil, "Vexil:\\b001", backing(Medium::Vexil) / token_root, true},
      {Medium::VxR2, "vxR2:\\b001", backing(Medium::VxR2) / token_root, true},
      {Medium::IButton, "iButton:\\PSE", backing(Medium::IButton), false},
      {Medium::Disk, (backing(Medium::Disk) / "pse").string(), backing(Medium::Disk) / "pse", false},
  };
  Bytes master(32);
  for (std::size_t i = 0; i < master.size(); ++i) master[i] = static_cast<unsigned char>(i * 7 + 1);
  const Bytes block(qcrypto::PSE_OPAQUE_BLOCK_BYTES, 0x5a);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    char mk[qcrypto::PSE_PATH_BUFFER];
    char kek[qcrypto::PSE_PATH_BUFFER];
    ASSERT_NE(qcrypto::PSE_file_path(mk, row.path.c_str(), qcrypto::PSE31_MKEY), nullptr);
    ASSERT_NE(qcrypto::PSE_file_path(kek, row.path.c_str(), qcrypto::PSE31_KEK), nullptr);
    int length = 0;
    ASSERT_EQ(qcrypto::PSE_save_mkey(mk, master.data(), nullptr, &length, nullptr), 1);
    ASSERT_EQ(qcrypto::pse_write_file(kek, block.data(), static_cast<int>(block.size())), 1);
    Bytes back(32);
    ASSERT_EQ(qcrypto::pse_read_record(mk, back.data(), nullptr, 0, nullptr), 1);
    EXPECT_EQ(back, master);

    // Every flag marker the medium keeps: the record's file on a token,
    // none elsewhere.
    std::vector<fs::path> markers;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(backing(row.medium), ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() == ".protected") markers.push_back(it->path());
    }
    ASSERT_FALSE(ec);
    if (row.flagged) {
      EXPECT_EQ(markers, std::vector<fs::path>{row.folder / "a001.protected"});
      EXPECT_TRUE(fs::is_regular_file(row.folder / "a001"));
      EXPECT_TRUE(fs::is_regular_file(row.folder / "c001"));
    } else {
      EXPECT_TRUE(markers.empty());
    }
  }
}

}  // namespace
}  // namespace quillon2
