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
#include <QRandomGenerator>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/engine_start.h"
#include "dsutils/engine/ui_scripted.h"
#include "dsutils/widgets/decrypt_dialog.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/key_file_dialog.h"
#include "dsutils/widgets/key_medium_dialog.h"
#include "dsutils/widgets/operation_sheet.h"
#include "dsutils/widgets/password_dialogs.h"
#include "dsutils/widgets/progress_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/random_seed_prompt.h"
#include "dsutils/widgets/recipients_page.h"
#include "dsutils/widgets/sign_dialog.h"
#include "dsutils/widgets/sortable_list.h"
#include "dsutils/widgets/ui_bridge.h"
#include "dsutils/widgets/verify_protocol_dialog.h"
#include "dsutils/widgets/widget_ui.h"
#include "platform/registry/registry_key.h"
#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_keys.h"
#include "tests/dsutils_com/recipient_directory.h"
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

// A list of `rows` rows of seven columns: numbers, Cyrillic names, issuers,
// serials and dates, as the certificate lists hold them.
void fill_list(dsutils::widgets::SortableListCtrl& list, int rows) {
  using dsutils::widgets::ListColumn;
  using dsutils::widgets::ListRow;
  std::vector<ListColumn> columns;
  for (const char* h : {"№", "Владелец", "Издатель", "Серийный номер", "Начало периода", "Конец периода", "Псевдоним"})
    columns.push_back({QString::fromUtf8(h), Qt::AlignLeft, 100});
  list.InsertColumns(std::move(columns));
  QRandomGenerator random(42);
  const QStringList names{"Иванов", "петров", "Сидорова", "Ёлкин", "Abramov", "Яковлев", "жуков"};
  std::vector<ListRow> all;
  all.reserve(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    const QString who = names[static_cast<int>(random.bounded(names.size()))];
    all.push_back(
        ListRow{{QString::number(r + 1), QStringLiteral("%1 %2").arg(who).arg(random.bounded(1000)),
                 QStringLiteral("УЦ %1").arg(random.bounded(5)), QString::number(random.generate64(), 16).toUpper(),
                 QStringLiteral("%1.01.2026 10:00:00").arg(random.bounded(1, 29), 2, 10, QLatin1Char('0')),
                 QStringLiteral("%1.12.2027 10:00:00").arg(random.bounded(1, 29), 2, 10, QLatin1Char('0')), who},
                0,
                nullptr});
  }
  list.rows().appendRows(std::move(all));
}

// A plain click on a heading of a 10,000-row list (one pass, the view
// shown).
void BM_HeaderClickSort10k(benchmark::State& state) {
  app();
  dsutils::widgets::SortableListCtrl list;
  fill_list(list, 10000);
  list.resize(800, 400);
  list.show();
  int column = 1;
  for (auto _ : state) {
    list.SortByColumn(column, false);
    QCoreApplication::processEvents();
    column = column % 6 + 1;
  }
}
BENCHMARK(BM_HeaderClickSort10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// A Ctrl-click with three keys: three stable passes.
void BM_CtrlClickSortThreeKeys10k(benchmark::State& state) {
  app();
  dsutils::widgets::SortableListCtrl list;
  fill_list(list, 10000);
  list.resize(800, 400);
  list.show();
  list.SortByColumn(2, false);
  list.SortByColumn(6, true);
  for (auto _ : state) {
    list.SortByColumn(1, true);  // moved to the end each time: always three keys
    QCoreApplication::processEvents();
  }
  state.counters["keys"] = static_cast<double>(list.sortState().keys().size());
}
BENCHMARK(BM_CtrlClickSortThreeKeys10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// A scratch directory of 2,000 other users' certificates.
struct Directory {
  std::string dir;
  bool ready = false;
  Directory() {
    dir = bench_support::temp_dir() + "/dossar-bench-recipients";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    if (!dsutils::testing::start_test_crypto()) return;
    for (int i = 0; i < 2000; ++i) {
      const long serial = 0x100000 + i;
      const QByteArray der = dsutils::testing::make_user_certificate(QStringLiteral("Получатель %1").arg(i), serial);
      if (der.isEmpty() ||
          !dsutils::testing::add_other_user(dsutils::testing::serial_text(serial), der, QStringLiteral("П%1").arg(i)))
        return;
    }
    ready = true;
  }
  ~Directory() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Directory& directory() {
  static Directory* d = new Directory();
  return *d;
}

void BM_RecipientsPageFill2000(benchmark::State& state) {
  app();
  Directory& d = directory();
  if (!d.ready) return state.SkipWithError("no directory");
  dsutils::widgets::ScriptedPromptService prompts;
  dsutils::CryptoSession describer;
  int rows = 0;
  for (auto _ : state) {
    dsutils::widgets::CRecipientsPage page(prompts);
    page.setDescriber(&describer);
    page.initPage();
    rows = page.directoryList()->rows().rowCount();
  }
  state.counters["rows"] = rows;
}
BENCHMARK(BM_RecipientsPageFill2000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The encrypt sheet made, opened and shown (its recipients page over the
// 2,000-certificate directory is not what this measures: an empty one).
void BM_EncryptSheetOpens(benchmark::State& state) {
  app();
  const std::string dir = bench_support::temp_dir() + "/dossar-bench-sheet";
  std::filesystem::create_directories(dir);
  ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  dsutils::widgets::ScriptedPromptService prompts;
  dsutils::widgets::ScriptedFileDialogService files;
  dsutils::CryptoSession describer;
  const auto open_once = [&] {
    dsutils::widgets::COperationSheet sheet(nullptr, [](int) {});
    sheet.setTitle(QStringLiteral("Зашифровать"));
    sheet.setHelpContext(68);
    auto* document = new dsutils::widgets::CEncryptFilePage(prompts, files);
    document->setInput(QStringLiteral("/home/user/Документы/договор.doc"));
    auto* recipients = new dsutils::widgets::CRecipientsPage(prompts);
    recipients->setDescriber(&describer);
    sheet.AddPage(document, QStringLiteral(" Документ "), 204);
    sheet.AddPage(recipients, QStringLiteral(" Получатели "), 205);
    sheet.open();
    if (!QTest::qWaitForWindowExposed(&sheet)) return false;
    sheet.reject();
    return true;
  };
  if (!open_once()) return state.SkipWithError("the sheet was not shown");  // warm-up: fonts, styles
  for (auto _ : state) {
    if (!open_once()) return state.SkipWithError("the sheet was not shown");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_EncryptSheetOpens)->Unit(benchmark::kMillisecond)->UseRealTime();
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
// The toolkit's prompts made, filled and painted once the font database is
// loaded: 0 key password, 1 token password, 2 key file, 3 seed prompt.
void BM_PromptDialogMadeAndPainted(benchmark::State& state) {
  app();
  dsutils::widgets::ScriptedFileDialogService files;
  {
    dsutils::widgets::CProgressDlg warm(QStringLiteral("warm"), 0ms, [] {});
    warm.grab();
  }
  const auto make = [&files](int kind) -> std::unique_ptr<QDialog> {
    switch (kind) {
      case 0: {
        auto dlg = std::make_unique<dsutils::widgets::CKeyPasswordDlg>([](int) {});
        dlg->setKeyName(QStringLiteral("/home/user/ключи/secret.key"));
        return dlg;
      }
      case 1:
        return std::make_unique<dsutils::widgets::CPasswordDlg>();
      case 2: {
        auto dlg = std::make_unique<dsutils::widgets::CKeyFileDlg>(files);
        dlg->setMediumFolder(QStringLiteral("/media/usb/DB"));
        dlg->setKeyFile(QStringLiteral("/media/usb/DB/keys/secret.key"));
        return dlg;
      }
      default: {
        auto dlg = std::make_unique<dsutils::widgets::SeedPromptDialog>();
        dlg->ask('Q', 5, 16, [](int) {});
        return dlg;
      }
    }
  };
  const int kind = static_cast<int>(state.range(0));
  make(kind)->grab();  // the dialog's own first use (its style's caches)
  for (auto _ : state) {
    const std::unique_ptr<QDialog> dlg = make(kind);
    const QPixmap picture = dlg->grab();
    benchmark::DoNotOptimize(picture.cacheKey());
  }
}
BENCHMARK(BM_PromptDialogMadeAndPainted)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The key password prompt answered from the remembered password in mail
// mode (Property\Email Password 1): the settings read, the look-up and the
// copy, no dialog.
void BM_ReusedPasswordAnswersThePrompt(benchmark::State& state) {
  const std::string dir = bench_support::temp_dir() + "/dossar-bench-com-prompt";
  std::filesystem::create_directories(dir);
  ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
  {
    platform::reg::RegistryKey key;
    if (!key.CreateKey(platform::reg::HKEY_CURRENT_USER, std::string(dsutils::kProductKey) + "\\Property\\Email") ||
        !key.SetDword("Password", 1) || !key.SetDword("Min", 60))
      return state.SkipWithError("no registry");
  }
  dsutils::ScriptedUi ui;
  ui.setMailMode(true);
  const char* name = "/media/usb/DB/keys/secret.key";
  const unsigned char password[] = "\xCF\xE0\xF0\xEE\xEB\xFC";
  ui.passwordMemory().remember(name, password, 6, 60);
  ql::mputil_set_key_file_name(name);
  const dsutils::OperationUiScope scope(&ui);
  char buffer[1024];
  for (auto _ : state) {
    if (dsutils::CryptoSession::OnKeyPassword(buffer, sizeof buffer, 0, nullptr) != 6)
      return state.SkipWithError("the prompt was not answered from memory");
  }
  state.counters["dialogs"] = static_cast<double>(ui.calls().size());
  OPENSSL_cleanse(buffer, sizeof buffer);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_ReusedPasswordAnswersThePrompt)->Unit(benchmark::kMicrosecond);

// The key-medium, sign (one file, group, add mode; the author list read
// from 200 personal entries) and folder dialogs made, initialised, shown and
// painted once the font database is loaded: 0 key medium, 1 sign one file,
// 2 sign group, 3 add signature, 4 folder chooser.
class PresentProbe : public dsutils::widgets::MediumProbe {
 public:
  bool mediumPresent(const QString&) override { return false; }
  void openToolkit() override {}
  bool tokenPresent(const QString&) override { return false; }
  void closeToolkit() override {}
  bool removablePresent() override { return false; }
};

void BM_MediumSignFolderDialogMadeAndPainted(benchmark::State& state) {
  app();
  const std::string dir = bench_support::temp_dir() + "/dossar-bench-com-dialogs";
  std::filesystem::create_directories(dir);
  ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
  {
    const std::string owners = std::string(dsutils::kProductKey) + "\\Certificats\\Owner";
    platform::reg::RegistryKey key;
    if (!key.CreateKey(platform::reg::HKEY_CURRENT_USER, owners) || !key.SetString("Owner", "e100"))
      return state.SkipWithError("no registry");
    for (int i = 0; i < 200; ++i) {
      // Formatted, not concatenated: g++ 12 at -O3 misreads the string sums.
      char name[16];
      char profile[64];
      std::snprintf(name, sizeof name, "e%d", i);
      std::snprintf(profile, sizeof profile, "Владелец %d", i);
      platform::reg::RegistryKey e;
      if (!e.CreateKey(platform::reg::HKEY_CURRENT_USER, owners + "\\" + name) || !e.SetString("Profile", profile) ||
          !e.SetString("Path", "/media/usb/DB") || !e.SetString("File", std::string(name) + ".key") ||
          !e.SetDword("SCZI", 0) || !e.SetBinary("SerNum", name, static_cast<std::uint32_t>(std::strlen(name))))
        return state.SkipWithError("no registry");
    }
  }
  dsutils::widgets::ScriptedPromptService prompts;
  dsutils::widgets::ScriptedFileDialogService files;
  PresentProbe probe;
  {
    dsutils::widgets::CProgressDlg warm(QStringLiteral("warm"), 0ms, [] {});
    warm.grab();
  }
  const int kind = static_cast<int>(state.range(0));
  const auto once = [&] {
    if (kind == 4) {
      dsutils::widgets::InitialFolderBrowser browser;
      browser.SetFlags(dsutils::widgets::BIF_RETURNONLYFSDIRS | dsutils::widgets::BIF_STATUSTEXT);
      browser.SetInitialFolder(QString::fromStdString(dir));
      browser.Open(nullptr);
      return browser.dialog()->grab().cacheKey();
    }
    std::unique_ptr<QDialog> dlg;
    if (kind == 0) {
      auto medium = std::make_unique<dsutils::widgets::CKeyMediumDlg>(probe, prompts, nullptr, &files);
      medium->setRequest({QStringLiteral("Владелец 100"), QStringLiteral("A:\\"), QStringLiteral("e100.key"), false,
                          QByteArray("e100")});
      dlg = std::move(medium);
    } else {
      auto sign =
          std::make_unique<dsutils::widgets::CSignDlg>(dsutils::widgets::SignDialogServices{&prompts, &files, nullptr});
      if (kind == 1) sign->setRequest({QStringLiteral("/home/user/документы/отчёт.txt"), false, false, QString()});
      if (kind == 2) sign->setRequest({QStringLiteral("Групповая обработка"), true, false, QString()});
      if (kind == 3) {
        const QString archive = QStringLiteral("/home/user/документы/отчёт.txt.sga");
        sign->setRequest({archive + QStringLiteral(" : отчёт.txt"), false, true, archive});
      }
      dlg = std::move(sign);
    }
    dlg->show();
    const qint64 key = dlg->grab().cacheKey();
    dlg->hide();
    return key;
  };
  once();  // the dialog's own first use (its style's caches)
  for (auto _ : state) benchmark::DoNotOptimize(once());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_MediumSignFolderDialogMadeAndPainted)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// The verification protocol window over 100 records of real certificates,
// and the decrypt window over a message for 20 recipients of the local
// directory: each made, filled and painted, after a warm-up window.
struct ProtocolWorld {
  std::string dir;
  std::vector<dsutils::SignatureRecord> records;
  QString enc;
  bool ready = false;
  std::string why = "not made";
  ProtocolWorld() { make(); }
  void make() {
    dir = bench_support::temp_dir() + "/dossar-bench-protocol";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ::setenv("DOSSAR_REGISTRY_DB", (dir + "/registry.db").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    if (!dsutils::testing::start_test_crypto()) return void(why = "no test crypto");
    dsutils::setDirectoryCryptoFactory(dsutils::toolkit_directory_factory());
    dsutils::CryptoSession session;
    if (session.Open() != ql::QL_OK) return void(why = "no toolkit");
    const QByteArray ca = dsutils::testing::test_ca_certificate();
    if (session.AddTrustedCertificate(reinterpret_cast<const unsigned char*>(ca.constData()),
                                      static_cast<long>(ca.size())) != ql::QL_OK)
      return void(why = "no CA");
    ql::QL_CERT_LIST* list = session.NewRecipientList();
    for (int i = 0; i < 100; ++i) {
      const long serial = 0x200000 + i;
      const QByteArray der = dsutils::testing::make_user_certificate(QStringLiteral("Подписант %1").arg(i), serial);
      if (der.isEmpty()) return void(why = "no certificate");
      dsutils::SignatureRecord r;
      r.signingTime = QStringLiteral("12.03.2025 09:15:00");
      r.serial = dsutils::testing::serial_text(serial);
      r.signerName = QStringLiteral("/CN=Подписант %1").arg(i);
      r.certificate = der;
      r.certificateLength = static_cast<int>(der.size());
      r.issuer.CN = "Тестовый УЦ";
      r.status = i % 7 == 3 ? dsutils::kSignerFailed : dsutils::kSignatureConfirmed;
      r.resultCode = r.status == dsutils::kSignatureConfirmed ? 0 : 7;
      r.fileName = QStringLiteral("/home/user/документы/отчёт.txt.sgn");
      records.push_back(r);
      if (i < 20) {
        if (!dsutils::testing::add_other_user(r.serial, der, QStringLiteral("П%1").arg(i)))
          return void(why = "no registry");
        if (session.AddRecipientCertificate(list, ql::QL_LOOKUP_BYTES,
                                            reinterpret_cast<const unsigned char*>(der.constData()),
                                            static_cast<long>(der.size())) != ql::QL_OK)
          return void(why = "recipient refused");
      }
    }
    const QString plain = QString::fromStdString(dir + "/report.txt");
    if (!bench_support::write_file(plain.toStdString(), 4096)) return void(why = "no input");
    enc = plain + QStringLiteral(".enc");
    const int code = session.EncryptFile(list, plain, enc, nullptr);
    session.FreeRecipientList(list);
    session.Close();
    ready = code == ql::QL_OK;
    why = "encryption failed: " + std::to_string(code);
  }
  ~ProtocolWorld() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

ProtocolWorld& protocol_world() {
  static ProtocolWorld* w = new ProtocolWorld();
  return *w;
}

void BM_ProtocolAndDecryptDialogMadeAndPainted(benchmark::State& state) {
  app();
  ProtocolWorld& w = protocol_world();
  if (!w.ready) return state.SkipWithError(w.why.c_str());
  dsutils::widgets::ScriptedPromptService prompts;
  dsutils::widgets::ScriptedFileDialogService files;
  dsutils::CryptoSession describer;
  describer.Open();
  const bool protocol = state.range(0) == 0;
  int rows = 0;
  const auto once = [&] {
    std::unique_ptr<QDialog> dlg;
    if (protocol) {
      auto p = std::make_unique<dsutils::widgets::CVerifyProtocolDlg>(
          dsutils::widgets::ProtocolServices{&prompts, nullptr, [](int) {}, {}, {}});
      dsutils::VerifyProtocolRequest request;
      request.records = w.records;
      request.fileName = w.records.front().fileName;
      request.documentPath = request.fileName;
      p->setRequest(request);
      p->setDescriber(&describer);
      p->OnInitDialog();
      rows = p->rows().rowCount();
      dlg = std::move(p);
    } else {
      auto d = std::make_unique<dsutils::widgets::CDecryptDlg>(
          dsutils::widgets::DecryptDialogServices{&prompts, &files, [](int) {}, {}, nullptr});
      dsutils::DecryptRequest request;
      request.inputFile = w.enc;
      request.sourceName = w.enc;
      d->setRequest(request);
      d->OnInitDialog();
      rows = d->list()->rows().rowCount();
      dlg = std::move(d);
    }
    dlg->show();
    const qint64 key = dlg->grab().cacheKey();
    dlg->hide();
    return key;
  };
  once();  // warm-up: fonts, styles, the toolkit's first decodes
  for (auto _ : state) benchmark::DoNotOptimize(once());
  state.counters["rows"] = rows;
  describer.Close();
}
BENCHMARK(BM_ProtocolAndDecryptDialogMadeAndPainted)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
