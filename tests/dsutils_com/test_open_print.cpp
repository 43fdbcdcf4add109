// Opening and printing a verified document from the protocol window: the
// desktop's default program and the program chooser from a scratch data
// folder (a recording program), the refusals and the item list through a
// recording printing library, and the real printing library into a PDF read
// back with pdftotext.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <filesystem>
#include <fstream>

#include "dsutils/engine/signature_checker.h"
#include "dsutils/widgets/application_chooser.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/verify_protocol_dialog.h"
#include "platform/dynlib.h"
#include "platform/registry/registry_key.h"
#include "printing/vtpagina.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"
#include "tests/support/run_program.h"

namespace dsutils::widgets {
namespace {

namespace fs = std::filesystem;
using dsutils::testing::under_ci;
using dsutils::testing::UnpackFixture;

const QString kTitle = QStringLiteral("Штамп заключения о проверке ЭЦП");

// The recording library's account of the calls.
struct PaginaRecord {
  int paginaCalls = 0, endPrintCalls = 0;
  std::string title;
  int32_t show = -1, closeOwner = -1;
  std::vector<int32_t> kinds;
  std::string fileName, signatures, templatePath;
  int32_t signatureCount = -1;
  PrintIndents indents{};
};

class FakePagina {
 public:
  FakePagina() {
    ok_ = lib_.open_path(std::string(FAKE_PAGINA_DIR) + "/libVTPagina.so");
    if (ok_) reinterpret_cast<void (*)()>(lib_.symbol("FakePaginaReset"))();
  }
  bool ok() const { return ok_; }
  PaginaRecord read() const {
    using Fn = void (*)(int*, int*, const char**, int32_t*, int32_t*, const int32_t**, int*, const char**, const char**,
                        int32_t*, const char**, PrintIndents*);
    auto fn = reinterpret_cast<Fn>(lib_.symbol("FakePaginaRecorded"));
    PaginaRecord r;
    const char *title = nullptr, *file = nullptr, *signatures = nullptr, *templatePath = nullptr;
    const int32_t* kinds = nullptr;
    int kindCount = 0;
    fn(&r.paginaCalls, &r.endPrintCalls, &title, &r.show, &r.closeOwner, &kinds, &kindCount, &file, &signatures,
       &r.signatureCount, &templatePath, &r.indents);
    r.title = title;
    r.kinds.assign(kinds, kinds + kindCount);
    r.fileName = file;
    r.signatures = signatures;
    r.templatePath = templatePath;
    return r;
  }

 private:
  // Held by the test, so the recording outlives the dialog's unloading.
  platform::DynLib lib_;
  bool ok_ = false;
};

// The signer of a record by its serial: the toolkit's order of two signers
// follows their encodings, so a test reads it from the records.
std::string signer_of(const SignatureRecord& r) { return r.serial == QStringLiteral("2A") ? "Party A" : "Party B"; }

std::string slurp(const QString& p) {
  std::ifstream in(p.toStdString(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class OpenPrint : public UnpackFixture {
 protected:
  static void SetUpTestSuite() {
    UnpackFixture::SetUpTestSuite();
    // One data folder for the process: GIO reads the folders once.
    std::string tmpl = (fs::temp_directory_path() / "dossar-open-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    desktop_ = new std::string(tmpl);
    fs::create_directories(tmpl + "/data/applications");
    fs::create_directories(tmpl + "/config");
    std::ofstream(tmpl + "/data/applications/dossar-recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Dossar recorder\nExec=" << FAKE_OPENER
        << " %f\nMimeType=text/plain;\n";
    std::ofstream(tmpl + "/config/mimeapps.list") << "[Default Applications]\ntext/plain=dossar-recorder.desktop\n";
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (desktop_ != nullptr) fs::remove_all(*desktop_, ec);
    delete desktop_;
    desktop_ = nullptr;
  }
  void SetUp() override {
    UnpackFixture::SetUp();
    if (std::string(UPDATE_DESKTOP_DATABASE).empty()) {
      if (under_ci()) FAIL() << "update-desktop-database is not installed";
      GTEST_SKIP() << "update-desktop-database is not installed";
    }
    // GIO finds a program of the user's data folder through its index.
    const test_support::ProgramResult r =
        test_support::run_program({UPDATE_DESKTOP_DATABASE, *desktop_ + "/data/applications"});
    ASSERT_EQ(r.status, 0) << r.output;
    setenv("XDG_DATA_HOME", (*desktop_ + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (*desktop_ + "/config").c_str(), 1);
    setenv("FAKE_OPENER_OUT", path("opened.txt").toUtf8().constData(), 1);
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    ASSERT_TRUE(QDir().mkpath(path("signed")));
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("FAKE_OPENER_OUT");
    unsetenv("DOSSAR_PRINT_PDF");
    UnpackFixture::TearDown();
  }

  // docs/<name> signed by both parties into signed/<name>.sgn; the request
  // the unpacking would make of it.
  VerifyProtocolRequest signed_document(const QString& name, const std::string& bytes) {
    write_file("docs/" + name, bytes);
    const QString sgn = path("signed/" + name + ".sgn");
    EXPECT_EQ(sign(path("docs/" + name), sgn, {&partyA(), &partyB()}, true), quillon2::QL_OK);
    SignatureChecker checker;
    EXPECT_TRUE(checker.CheckFile(sgn, true));
    VerifyProtocolRequest request;
    for (const auto& r : checker.records()) request.records.push_back(*r);
    QString text;
    request.allConfirmed = checker.BuildProtocol(sgn, text);
    request.fileName = sgn;
    request.documentPath = sgn;
    request.extractDocument = true;
    return request;
  }
  std::unique_ptr<CVerifyProtocolDlg> dialog(const VerifyProtocolRequest& request, bool ownChooser,
                                             PromptService* prompts = nullptr) {
    ProtocolServices services;
    services.prompts = prompts != nullptr ? prompts : &prompts_;
    services.help = [](int) {};
    if (!ownChooser) services.chooser = [this](const QString& document) { chosen_.push_back(document); };
    auto dlg = std::make_unique<CVerifyProtocolDlg>(std::move(services));
    dlg->setRequest(request);
    dlg->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    return dlg;
  }
  bool wait_opened() {
    return QTest::qWaitFor([this] { return !slurp(path("opened.txt")).empty(); }, 10000);
  }
  void set_template(const QString& file) {
    platform::reg::RegistryKey key;
    open_key(key, "\\Property\\Log");
    key.SetString("Shablon", file.toStdString());
  }

  static inline std::string* desktop_ = nullptr;
  ScriptedPromptService prompts_;
  std::vector<QString> chosen_;
};

TEST_F(OpenPrint, OpenGivesTheDocumentToTheDefaultProgramAsOneArgument) {
  const QString name = QStringLiteral("отчёт \"квартальный\" 'итог' $(id) с пробелами.txt");
  auto dlg = dialog(signed_document(name, "the quarterly report\n"), true);
  QTest::mouseClick(dlg->openButton(), Qt::LeftButton);
  ASSERT_TRUE(wait_opened());
  const QString extracted = path("signed/" + name);
  EXPECT_EQ(slurp(path("opened.txt")), extracted.toStdString() + "\n");
  EXPECT_EQ(slurp(extracted), "the quarterly report\n");
  EXPECT_EQ(prompts_.seen().size(), 0U);
}

// The unpacking verifies a copy in its working folder, which goes when the
// operation ends: the program gets a document that outlives it.
TEST_F(OpenPrint, ADocumentOfAWorkingFolderIsOpenedFromOutsideIt) {
  VerifyProtocolRequest request = signed_document(QStringLiteral("report.txt"), "from the working folder\n");
  const QString root = engine_helper().TmpRoot();
  ASSERT_FALSE(root.isEmpty());
  ASSERT_TRUE(QDir().mkpath(root + "/op-1"));
  const QString copy = root + "/op-1/report.txt.sgn";
  ASSERT_TRUE(QFile::copy(request.documentPath, copy));
  request.documentPath = copy;
  auto dlg = dialog(request, true);
  QTest::mouseClick(dlg->openButton(), Qt::LeftButton);
  ASSERT_TRUE(wait_opened());
  std::string opened = slurp(path("opened.txt"));
  ASSERT_FALSE(opened.empty());
  opened.pop_back();
  EXPECT_FALSE(QString::fromStdString(opened).startsWith(root)) << opened;
  EXPECT_EQ(QFileInfo(QString::fromStdString(opened)).fileName(), QStringLiteral("report.txt"));
  ASSERT_TRUE(QDir(root + "/op-1").removeRecursively());
  EXPECT_EQ(slurp(QString::fromStdString(opened)), "from the working folder\n");
}

TEST_F(OpenPrint, WithoutADefaultTheChooserListsTheProgramAndLaunchesTheChoice) {
  // Bytes of no type any program declares.
  const QString name = QStringLiteral("данные без типа");
  auto dlg = dialog(signed_document(name, std::string("\x00\x01\x02\xfe\xff", 5) + std::string(64, '\x07')), true);
  QTest::mouseClick(dlg->openButton(), Qt::LeftButton);
  auto* chooser = dialog_test::wait_window<CApplicationChooser>();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Открыть с помощью"));
  QListWidgetItem* recorder = nullptr;
  for (int i = 0; i < chooser->list()->count(); ++i)
    if (chooser->list()->item(i)->text() == QStringLiteral("Dossar recorder")) recorder = chooser->list()->item(i);
  ASSERT_NE(recorder, nullptr) << "the recording program is listed";
  chooser->list()->setCurrentItem(recorder);
  gui_test::expect_no_clipped_text(chooser);
  gui_test::screenshot(chooser, "application_chooser");
  QTest::mouseClick(chooser->okButton(), Qt::LeftButton);
  ASSERT_TRUE(wait_opened());
  EXPECT_EQ(slurp(path("opened.txt")), path("signed/" + name).toStdString() + "\n");
}

TEST_F(OpenPrint, PrintRefusalsInTheirOrder) {
  const VerifyProtocolRequest request = signed_document(QStringLiteral("report.txt"), "a report\n");
  VerifyProtocolRequest unconfirmed = request;
  unconfirmed.records.front().status = kSignerFailed;
  unconfirmed.records.front().resultCode = 7;
  VerifyProtocolRequest empty = request;
  empty.records.clear();
  struct Case {
    const char* what;
    const char* libraryDir;
    QString shablon;
    const VerifyProtocolRequest* request;
    std::vector<QString> boxes;
  };
  const QString stamp = QStringLiteral(DOSSAR_TEMPLATE_DIR "/stamp.txt");
  const Case cases[] = {
      {"no library", EMPTY_DIR, stamp, &request, {QStringLiteral("Не найдена библиотека VTPagina.dll!\n")}},
      {"no template, library loaded",
       FAKE_PAGINA_DIR,
       QString(),
       &request,
       {QStringLiteral("Не задан файл шаблона для печати\n протокола проверки ЭЦП!\n")}},
      {"no signatures", FAKE_PAGINA_DIR, stamp, &empty, {}},
      {"one unconfirmed signature",
       FAKE_PAGINA_DIR,
       stamp,
       &unconfirmed,
       {QStringLiteral("Обнаружены неподтвержденные подписи!\n")}},
      {"all confirmed, No",
       FAKE_PAGINA_DIR,
       stamp,
       &request,
       {QStringLiteral("Распечатать документ с заключением о проверке ЭЦП?\n")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePagina fake;
    ASSERT_TRUE(fake.ok());
    const dialog_test::LibPath lib(c.libraryDir);
    set_template(c.shablon);
    ScriptedPromptService prompts;
    auto dlg = dialog(*c.request, false, &prompts);
    QTest::mouseClick(dlg->printButton(), Qt::LeftButton);
    std::vector<QString> boxes;
    for (const auto& seen : prompts.seen()) boxes.push_back(seen.text);
    EXPECT_EQ(boxes, c.boxes);
    EXPECT_EQ(fake.read().paginaCalls, 0);
    EXPECT_FALSE(QFileInfo::exists(path("signed/report.txt"))) << "nothing extracted";
    EXPECT_TRUE(chosen_.empty());
  }
}

TEST_F(OpenPrint, PrintHandsTheStampToThePrintingLibrary) {
  FakePagina fake;
  ASSERT_TRUE(fake.ok());
  const dialog_test::LibPath lib(FAKE_PAGINA_DIR);
  const QString stamp = QStringLiteral(DOSSAR_TEMPLATE_DIR "/stamp.txt");
  set_template(stamp);
  // The print spooler has no server here (or is missing): the chooser comes
  // before the stamp.
  int paginaCallsAtChooser = -1;
  prompts_.queue(IDYES);
  std::unique_ptr<CVerifyProtocolDlg> dlg;
  VerifyProtocolRequest request;
  {
    ProtocolServices services;
    services.prompts = &prompts_;
    services.help = [](int) {};
    services.chooser = [&](const QString& document) {
      chosen_.push_back(document);
      paginaCallsAtChooser = fake.read().paginaCalls;
    };
    dlg = std::make_unique<CVerifyProtocolDlg>(std::move(services));
    request = signed_document(QStringLiteral("report2.txt"), "a report\n");
    dlg->setRequest(request);
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  }
  QTest::mouseClick(dlg->printButton(), Qt::LeftButton);
  ASSERT_EQ(prompts_.seen().size(), 1U);
  EXPECT_EQ(prompts_.seen()[0].text, QStringLiteral("Распечатать документ с заключением о проверке ЭЦП?\n"));
  EXPECT_EQ(prompts_.seen()[0].flags & (MB_TYPEMASK | MB_ICONMASK), unsigned{MB_YESNO | MB_ICONQUESTION});
  ASSERT_EQ(chosen_.size(), 1U);
  EXPECT_EQ(chosen_[0], path("signed/report2.txt"));
  EXPECT_EQ(slurp(path("signed/report2.txt")), "a report\n");
  EXPECT_EQ(paginaCallsAtChooser, 0);
  EXPECT_NE(slurp(path("events.log")).find("lp"), std::string::npos) << "lp's failure is in the event log";
  const PaginaRecord r = fake.read();
  EXPECT_EQ(r.paginaCalls, 1);
  EXPECT_EQ(QString::fromStdString(r.title), kTitle);
  EXPECT_EQ(r.show, 1);
  EXPECT_EQ(r.closeOwner, 0);
  EXPECT_EQ(r.kinds, std::vector<int32_t>({PRINT_ITEM_SIGNATURE_LIST, PRINT_ITEM_TEMPLATE_PATH}));
  EXPECT_EQ(r.fileName, "report2.txt.sgn");
  // Last record first.
  ASSERT_EQ(request.records.size(), 2U);
  EXPECT_EQ(r.signatures, "\r\n1.\t" + signer_of(request.records[1]) + "\r\n\t\r\n\t\r\n\r\n2.\t" +
                              signer_of(request.records[0]) + "\r\n\t\r\n\t\r\n");
  EXPECT_EQ(r.signatureCount, 2);
  EXPECT_EQ(QString::fromStdString(r.templatePath), stamp);
  EXPECT_EQ(r.indents.left, 200);
  EXPECT_EQ(r.indents.top, 200);
  EXPECT_EQ(r.indents.right, 200);
  EXPECT_EQ(r.indents.bottom, 200);
  EXPECT_TRUE(dlg->printLibraryLoaded());
  EXPECT_EQ(r.endPrintCalls, 0);
  dlg.reset();
  EXPECT_EQ(fake.read().endPrintCalls, 1) << "the preview is closed before the library goes";
}

// The visible preview of the real printing library, null when none.
QMainWindow* live_preview() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* main = qobject_cast<QMainWindow*>(w);
    if (main != nullptr && main->isVisible() && main->findChild<QToolBar*>() != nullptr) return main;
  }
  return nullptr;
}

TEST_F(OpenPrint, TheRealLibraryPrintsTheStampIntoAPdf) {
  if (std::string(PDFTOTEXT).empty()) {
    if (under_ci()) FAIL() << "pdftotext is not installed";
    GTEST_SKIP() << "pdftotext is not installed";
  }
  const dialog_test::LibPath lib(REAL_PAGINA_DIR);
  setenv("DOSSAR_PRINT_PDF", path("stamp.pdf").toUtf8().constData(), 1);
  set_template(QStringLiteral(DOSSAR_TEMPLATE_DIR "/stamp.txt"));
  const VerifyProtocolRequest request = signed_document(QStringLiteral("report.txt"), "a report\n");
  ASSERT_EQ(request.records.size(), 2U);
  auto dlg = dialog(request, false);
  prompts_.queue(IDYES);
  QTest::mouseClick(dlg->printButton(), Qt::LeftButton);
  EXPECT_EQ(chosen_.size(), 1U) << "lp cannot print here: the chooser opened";
  QMainWindow* preview = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (preview = live_preview()) != nullptr; }, 5000));
  EXPECT_EQ(preview->windowTitle(), kTitle);
  QAction* print = nullptr;
  for (QAction* a : preview->findChild<QToolBar*>()->actions())
    if (a->text() == QStringLiteral("Печать...")) print = a;
  ASSERT_NE(print, nullptr);
  QTest::mouseClick(preview->findChild<QToolBar*>()->widgetForAction(print), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(path("stamp.pdf").toStdString()); }, 10000));
  ASSERT_TRUE(QTest::qWaitFor([] { return live_preview() == nullptr; }, 5000)) << "printing closes the preview";
  const test_support::ProgramResult text =
      test_support::run_program({PDFTOTEXT, "-layout", path("stamp.pdf").toStdString(), "-"});
  ASSERT_EQ(text.status, 0) << text.output;
  EXPECT_NE(text.output.find("report.txt.sgn"), std::string::npos) << text.output;
  // The layout turns the tabs into blanks.
  const QString words = QString::fromStdString(text.output).simplified();
  EXPECT_TRUE(words.contains(QString::fromStdString("1. " + signer_of(request.records[1])))) << text.output;
  EXPECT_TRUE(words.contains(QString::fromStdString("2. " + signer_of(request.records[0])))) << text.output;

  // The preview gave the window back when it went.
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->isEnabled(); }, 5000));
  // A preview still up when the protocol window goes is closed with it.
  prompts_.queue(IDYES);
  QTest::mouseClick(dlg->printButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return live_preview() != nullptr; }, 5000));
  EXPECT_TRUE(dlg->printLibraryLoaded());
  dlg.reset();
  EXPECT_TRUE(QTest::qWaitFor([] { return live_preview() == nullptr; }, 5000));
}

}  // namespace
}  // namespace dsutils::widgets
