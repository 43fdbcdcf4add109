// The engine's operations against what they are made of: SignGroup and
// EncryptGroup of one large file (DOSSAR_BENCH_MIB, default 1024) against
// the bare toolkit call and the working-folder copies measured alone, and
// SignGroup of 1,000 files of 4 KiB against the same parts (time / 1000 is
// the time per file). The operation's own cost is the difference. Run on one
// core (taskset -c 0).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/support/bench_files.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/ui_console.h"
#include "quillon2/ql_certinfo.h"
#include "tools/roundtrip/scratch_pki.h"
#include "tools/roundtrip/scratch_registry.h"

namespace {

using namespace dsutils;
namespace ql = quillon2;

constexpr int kSmallFiles = 1000;
constexpr long long kSmallBytes = 4096;

// One scratch user, settings tree, large file and small files for the run.
struct World {
  std::string dir;
  roundtrip::ScratchPki pki;
  QString big;
  QStringList small;
  long long bigBytes = 0;
  QByteArray cert;
  FILE* devnull = nullptr;
  ConsoleUi* ui = nullptr;

  World() {
    std::string tmpl = bench_support::temp_dir() + "/dossar-bench-engine-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    for (const char* sub : {"/pki", "/docs", "/small", "/tmp", "/data", "/out"})
      std::filesystem::create_directory(dir + sub);
    if (!roundtrip::make_scratch_pki(dir + "/pki", &pki).empty()) std::abort();
    setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
    setenv("TMPDIR", (dir + "/tmp").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    if (!roundtrip::write_scratch_registry(pki).empty()) std::abort();
    StartEngine();
    bigBytes = bench_support::file_mib("DOSSAR_BENCH_ENGINE_MIB", 1024) << 20;
    big = QString::fromStdString(dir + "/docs/big.bin");
    if (!bench_support::write_file(big.toStdString(), bigBytes)) std::abort();
    for (int i = 0; i < kSmallFiles; ++i) {
      const std::string p = dir + "/small/f" + std::to_string(i) + ".txt";
      if (!bench_support::write_file(p, kSmallBytes)) std::abort();
      small << QString::fromStdString(p);
    }
    OwnerRecord owner;
    if (!engine_helper().GetOwnerRecord(owner)) std::abort();
    cert = owner.serNum;
    devnull = std::fopen("/dev/null", "w");
    ConsoleUiOptions o;
    o.questionAnswer = IDYES;
    o.showProgress = false;
    SignAnswer s;
    s.accepted = true;
    s.outputName = big + ".sgn";
    o.sign = s;
    EncryptAnswer e;
    e.accepted = true;
    e.outputName = big + ".enc";
    e.recipients = QStringList{"executor"};
    o.encrypt = e;
    ui = new ConsoleUi(o, devnull);
  }
  ~World() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  QString out(const char* name) const { return QString::fromStdString(dir + "/out/") + QLatin1String(name); }
  void clean_results() const {
    for (const char* suffix : {".sgn", ".enc"}) QFile::remove(big + QLatin1String(suffix));
    for (const QString& f : small) QFile::remove(f + ".sgn");
    QDir(QString::fromStdString(dir + "/out")).removeRecursively();
    QDir().mkpath(QString::fromStdString(dir + "/out"));
  }
};

World& world() {
  static World* w = new World();  // removed by the last benchmark's clean-up at exit
  return *w;
}

int run_operation(int (*op)(OperationJob*), const QStringList& files, bool automatic) {
  World& w = world();
  OperationJob job;
  job.files = files;
  job.automatic = automatic;
  const OperationUiScope scope(w.ui);
  op(&job);
  return job.result;
}

void BM_SignGroup_Large(benchmark::State& state) {
  World& w = world();
  bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (run_operation(&SignGroup, {w.big}, false) != 0) state.SkipWithError("SignGroup failed");
    state.PauseTiming();
    w.clean_results();
    state.ResumeTiming();
  }
  memory.report(state, w.bigBytes);
}

void BM_EncryptGroup_Large(benchmark::State& state) {
  World& w = world();
  bench_support::PeakMemory memory;
  for (auto _ : state) {
    if (run_operation(&EncryptGroup, {w.big}, false) != 0) state.SkipWithError("EncryptGroup failed");
    state.PauseTiming();
    w.clean_results();
    state.ResumeTiming();
  }
  memory.report(state, w.bigBytes);
}

// The toolkit's sign or encrypt call alone, with the key loaded once.
template <bool kSign>
void toolkit_calls(benchmark::State& state, const QStringList& inputs, long long bytes) {
  World& w = world();
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  hold.OpenWithPath(QString::fromStdString(w.pki.container));
  if (session.LoadKeysFromMedium(QString::fromStdString(w.pki.container), QString()) != 0) {
    state.SkipWithError("key not loaded");
    return;
  }
  QFile caFile(QString::fromStdString(w.pki.ca_cert));
  const QByteArray ca = caFile.open(QIODevice::ReadOnly) ? caFile.readAll() : QByteArray();
  if (session.AddTrustedCertificate(reinterpret_cast<const unsigned char*>(ca.constData()),
                                    static_cast<long>(ca.size())) != 0) {
    state.SkipWithError("CA not trusted");
    return;
  }
  for (auto _ : state) {
    for (const QString& in : inputs) {
      int code = 0;
      if constexpr (kSign) {
        QL_SIGN_SET* set = session.NewSignatureSet();
        session.AddSignerCertificate(set, ql::QL_LOOKUP_BYTES, w.cert.constData(), static_cast<long>(w.cert.size()));
        code = session.SignFile(set, in, w.out("signed"), 0, SigningOptions{}, nullptr);
        session.FreeSignatureSet(set);
      } else {
        QL_CERT_LIST* list = session.NewRecipientList();
        session.AddRecipientCertificate(list, ql::QL_LOOKUP_BYTES, w.cert.constData(),
                                        static_cast<long>(w.cert.size()));
        code = session.EncryptFile(list, in, w.out("sealed"), nullptr);
        session.FreeRecipientList(list);
      }
      if (code != 0) state.SkipWithError("toolkit call failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
  w.clean_results();
}

void BM_BareSign_Large(benchmark::State& state) { toolkit_calls<true>(state, {world().big}, world().bigBytes); }
void BM_BareEncrypt_Large(benchmark::State& state) { toolkit_calls<false>(state, {world().big}, world().bigBytes); }
void BM_BareSign_Small(benchmark::State& state) {
  toolkit_calls<true>(state, world().small, kSmallFiles * kSmallBytes);
}

// What the operations do with files besides the toolkit call, measured
// alone: the working folder (two synced copies, the source erased), the
// result copied out of it (a copy of the input stands for the result) and
// the kept source put back, the folder removed.
void working_folder_copies(benchmark::State& state, const QStringList& inputs, long long bytes) {
  World& w = world();
  EngineHelper& h = engine_helper();
  for (auto _ : state) {
    for (const QString& in : inputs) {
      const QString work = h.CreateTmp(in, true);
      QString result = work + ".res";
      if (work.isEmpty() || !DS_CopyFile(work, result, false) || h.GroupSortFile(in, result, "SGN", false) == 0 ||
          h.GroupSortFileEx(in, work, result, "SGN") == 0 || h.RemoveTmp(in, work, false) == 0)
        state.SkipWithError("working folder failed");
      state.PauseTiming();
      QFile::remove(result);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * bytes);
  w.clean_results();
}

void BM_WorkingFolderCopies_Large(benchmark::State& state) {
  working_folder_copies(state, {world().big}, world().bigBytes);
}
void BM_WorkingFolderCopies_Small(benchmark::State& state) {
  working_folder_copies(state, world().small, kSmallFiles * kSmallBytes);
}

void BM_SignGroup_1000x4KiB(benchmark::State& state) {
  World& w = world();
  for (auto _ : state) {
    if (run_operation(&SignGroup, w.small, false) != 0) state.SkipWithError("SignGroup failed");
    state.PauseTiming();
    w.clean_results();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kSmallFiles * kSmallBytes);
}

BENCHMARK(BM_SignGroup_Large)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_BareSign_Large)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_WorkingFolderCopies_Large)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_EncryptGroup_Large)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_BareEncrypt_Large)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SignGroup_1000x4KiB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_BareSign_Small)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_WorkingFolderCopies_Small)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  world();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete &world();
  return 0;
}
