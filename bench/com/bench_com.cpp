// What the windows cost an operation, offscreen: signing a large file
// (DOSSAR_BENCH_MIB, default 1024) through CryptoSession::SignFile with its
// progress shown by WidgetUi, against the same signing with no UI; and the
// progress window made and painted once the font database is loaded; and
// the file managers' host up to its menu over 50 selected files.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPixmap>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "bench/support/bench_files.h"
#include "crypto/cclib/ossl_owners.h"
#include "crypto/pkey/key_envelope.h"
#include "crypto/rand/rand.h"
#include "dsutils/com/shell_host.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/widgets/progress_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/ui_bridge.h"
#include "dsutils/widgets/widget_ui.h"
#include "quillon2/ql_keys.h"
#include "tests/support/gost_pki.h"
#include "tests/support/provider_fixture.h"

namespace {

namespace ql = quillon2;
using namespace std::chrono_literals;
using qcrypto::UniquePtr;
using test_support::GostKeyType;

QApplication& app() {
  static QApplication* instance = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "bench_com";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *instance;
}

// A session with one signer, and the input file, made once.
struct Signing {
  std::string dir;
  std::string input;
  std::unique_ptr<dsutils::CryptoSession> session;
  std::vector<unsigned char> cert;
  bool ready = false;

  Signing() {
    dir = bench_support::temp_dir() + "/dossar-bench-com";
    std::filesystem::create_directories(dir);
    ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    input = dir + "/input.bin";
    if (!bench_support::write_file(input, bench_support::file_mib("DOSSAR_BENCH_COM_MIB", 1024) << 20)) return;
    session = std::make_unique<dsutils::CryptoSession>();
    if (session->Open() != ql::QL_OK) return;
    qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
    UniquePtr<EVP_PKEY> caKey(test_support::gost_new_key(GostKeyType::kEcr3410));
    UniquePtr<X509> ca(test_support::gost_make_cert(caKey.get(), {"Bench CA", 1, true, 30}, nullptr, caKey.get()));
    UniquePtr<EVP_PKEY> key(test_support::gost_new_key(GostKeyType::kEcr3410));
    UniquePtr<X509> own(test_support::gost_make_cert(key.get(), {"Bench", 0x2A, false, 30}, ca.get(), caKey.get()));
    if (!ca || !own) return;
    const auto caDer = test_support::to_der(ca.get());
    cert = test_support::to_der(own.get());
    if (session->AddTrustedCertificate(caDer.data(), static_cast<long>(caDer.size())) != ql::QL_OK) return;
    if (session->AddCertificate(cert.data(), static_cast<long>(cert.size())) != ql::QL_OK) return;
    ql::QL_SESSION* s = ql::QL_session_get();
    if (s == nullptr || EVP_PKEY_up_ref(key.get()) != 1) return;
    UniquePtr<qcrypto::EVP_PKEY_ENVELOPE> e(qcrypto::EVP_PKEY_ENVELOPE_new(key.get(), nullptr));
    e->decrypted = 1;
    ready = ql::mputil_add_key(s, std::move(e)) == ql::QL_OK;
    ql::QL_session_release(s);
  }
  ~Signing() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  int sign(dsutils::OperationProgress* progress) {
    ql::QL_SIGN_SET* set = session->NewSignatureSet();
    session->AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, cert.data(), static_cast<long>(cert.size()));
    const int code =
        session->SignFile(set, QString::fromStdString(input), QString::fromStdString(dir + "/out.sgn"), 1, progress);
    session->FreeSignatureSet(set);
    return code;
  }
};

Signing& signing() {
  static Signing* s = new Signing();
  return *s;
}

// One signing on a worker, as the object runs an operation, while the GUI
// thread waits in its event loop (serving the window, when there is one).
int sign_on_worker(Signing& s, dsutils::EngineUi* ui) {
  QEventLoop loop;
  int code = -1;
  std::thread worker([&] {
    {
      // Stopped (on the GUI thread) before the loop ends.
      std::optional<dsutils::OperationProgress> progress;
      if (ui != nullptr) {
        progress.emplace(*ui, QStringLiteral("Выполняется операция: подписать"));
        progress->start();
        progress->setFile(QString::fromStdString(s.input));
      }
      code = s.sign(progress ? &*progress : nullptr);
    }
    dsutils::widgets::UiBridge::post([&loop] { loop.quit(); });
  });
  loop.exec();
  worker.join();
  return code;
}

void BM_SignFile(benchmark::State& state) {
  app();
  Signing& s = signing();
  if (!s.ready) return state.SkipWithError("no signing session");
  dsutils::widgets::ScriptedPromptService prompts;
  // The window shows at once, so its whole cost is in the figure.
  dsutils::widgets::WidgetUi ui(prompts, {0ms, 100ms});
  const bool withUi = state.range(0) != 0;
  for (auto _ : state) {
    if (sign_on_worker(s, withUi ? &ui : nullptr) != ql::QL_OK) return state.SkipWithError("signing failed");
  }
  state.counters["windows_shown"] = ui.shownCount();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::filesystem::file_size(s.input)));
}
// 0: no UI, 1: WidgetUi; the figure is the wall time (the work is on a worker).
BENCHMARK(BM_SignFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ProgressDialogMadeAndPainted(benchmark::State& state) {
  app();
  {
    // The first window loads the font database; that is not the dialog's cost.
    dsutils::widgets::CProgressDlg warm(QStringLiteral("warm"), 0ms, [] {});
    warm.grab();
  }
  for (auto _ : state) {
    dsutils::widgets::CProgressDlg dlg(QStringLiteral("Выполняется операция: подписать"), 3000ms, [] {});
    dlg.setFileName(QStringLiteral("/home/user/Документы/договор.doc"));
    const QPixmap picture = dlg.grab();
    benchmark::DoNotOptimize(picture.cacheKey());
  }
}
BENCHMARK(BM_ProgressDialogMadeAndPainted)->Unit(benchmark::kMillisecond);

// "dsutils-shell --menu" over 50 files: from the host's start on its
// arguments to the menu's popup, every file classified by the toolkit (its
// head read once). The popup itself is not shown (offscreen nothing waits).
void BM_ShellMenuOver50Files(benchmark::State& state) {
  app();
  const std::string dir = bench_support::temp_dir() + "/dossar-bench-shell";
  std::filesystem::create_directories(dir);
  setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
  dsutils::StartEngine();
  QStringList arguments{QStringLiteral("--menu")};
  for (int i = 0; i < 50; ++i) {
    const std::string name = dir + "/document-" + std::to_string(i) + (i % 10 == 0 ? ".sgn" : ".txt");
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) {
      state.SkipWithError("cannot write the files");
      return;
    }
    const std::string text(4096, static_cast<char>('a' + i % 26));
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    arguments << QString::fromStdString(name);
  }
  dsutils::HostOperations ops = dsutils::engine_host_operations();
  std::chrono::steady_clock::time_point shown;
  ops.popMenu = [&shown](const QList<int>&) {
    shown = std::chrono::steady_clock::now();
    return 0;
  };
  dsutils::widgets::BoxPromptService prompts;
  dsutils::widgets::WidgetUi ui(prompts);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    dsutils::ShellHost host(ops, ui);
    benchmark::DoNotOptimize(host.run(arguments));
    state.SetIterationTime(std::chrono::duration<double>(shown - start).count());
  }
  std::filesystem::remove_all(dir);
  unsetenv("DOSSAR_REGISTRY_DB");
}
BENCHMARK(BM_ShellMenuOver50Files)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
