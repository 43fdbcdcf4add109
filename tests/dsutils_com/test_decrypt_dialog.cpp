// The decrypt window on a message the stock openssl command enveloped for
// four RSA recipients: the executor, one only in the local directory, one
// only in a private slapd, one found nowhere. The output names as a table,
// the replace question, and the file information window.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <atomic>
#include <thread>

#include "dsutils/engine/error_text.h"
#include "dsutils/engine/file_state.h"
#include "dsutils/widgets/decrypt_dialog.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "quillon2/ql_codes.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/gui_test.h"
#include "tests/support/run_program.h"
#include "tests/support/slapd_harness.h"

namespace dsutils::widgets {
namespace {

using dsutils::testing::bytes;
using dsutils::testing::kStockOpenssl;
using dsutils::testing::under_ci;
using dsutils::testing::UnpackFixture;

TEST(DecryptNames, OutputNameTable) {
  struct Case {
    const char* what;
    QString file, input;
    std::uint32_t result;
    QString resultPath;
    QString expected;
  };
  const Case cases[] = {
      {"x.enc, Result 0: beside the input", "/work/tmp/1/x.enc", "/home/u/docs/x.enc", 0, "/sorted", "/home/u/docs/x"},
      {"x.enc, Result 1: in the result folder", "/work/tmp/1/x.enc", "/home/u/docs/x.enc", 1, "/sorted/unenc",
       "/sorted/unenc/x"},
      {"x.enc, Result 1, folder with a slash", "/work/tmp/1/x.enc", "/home/u/docs/x.enc", 1, "/sorted/", "/sorted/x"},
      {"no .enc: the caller's name", "/work/tmp/1/x.p7m", "/home/u/docs/x.p7m", 0, "", "/home/u/docs/x.p7m"},
      {"no .enc, Result 1", "/work/tmp/1/x.p7m", "/home/u/docs/x.p7m", 1, "/r", "/r/x.p7m"},
      {"\".ENC\" is not \".enc\"", "/work/tmp/1/x.ENC", "/home/u/docs/default", 0, "", "/home/u/docs/default"},
      {"a name that is only \".enc\"", "/work/tmp/1/.enc", "/home/u/docs/.enc", 0, "", "/home/u/docs/.enc"},
  };
  for (const Case& c : cases) {
    SortSettings s;
    s.Result = c.result;
    s.ResultPath = c.resultPath;
    EXPECT_EQ(DecryptOutputName(c.file, c.input, s), c.expected) << c.what;
  }
  EXPECT_EQ(decrypt_images().size(), 4);
}

struct RsaParty {
  test_support::Party party;
  QString serial;
};

struct RsaWorld {
  test_support::Party root;
  RsaParty executor, local, ldap, nobody;
};

const RsaWorld& rsa_world() {
  static const RsaWorld* made = [] {
    auto* w = new RsaWorld();
    w->root.key.reset(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
    test_support::PkiCertSpec root;
    root.common_name = "RSA Root";
    root.basic_constraints = test_support::PkiBasicConstraints::kCa;
    root.key_usage = test_support::PkiKeyUsage::kCa;
    if (!w->root.key) return w;
    w->root.cert.reset(test_support::pki_make_cert(w->root.key.get(), root, nullptr, w->root.key.get()));
    if (!w->root.cert) return w;
    w->root.der = test_support::to_der(w->root.cert.get());
    const auto leaf = [w](RsaParty& p, const char* cn, long serial) {
      p.party.key.reset(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
      test_support::PkiCertSpec spec;
      spec.common_name = cn;
      spec.serial = serial;
      if (p.party.key)
        p.party.cert.reset(test_support::pki_make_cert(p.party.key.get(), spec, w->root.cert.get(), w->root.key.get()));
      if (p.party.cert) p.party.der = test_support::to_der(p.party.cert.get());
      p.serial = QString::number(serial, 16).toUpper();
    };
    leaf(w->executor, "Исполнитель Иванов", 0x51);
    leaf(w->local, "Петров из справочника", 0x52);
    leaf(w->ldap, "Сидоров из LDAP", 0x53);
    leaf(w->nobody, "Никому не известный", 0x54);
    return w;
  }();
  return *made;
}

class DecryptWindow : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    if (!stock_openssl_at_hand()) return;
    const RsaWorld& w = rsa_world();
    for (const RsaParty* p : {&w.executor, &w.local, &w.ldap, &w.nobody}) ASSERT_FALSE(p->party.der.empty());
    ASSERT_TRUE(QDir().mkpath(path("docs")));
    write_file("docs/report.txt", "the report\n");
    std::vector<std::string> args = {kStockOpenssl,
                                     "cms",
                                     "-encrypt",
                                     "-binary",
                                     "-aes256",
                                     "-outform",
                                     "DER",
                                     "-in",
                                     path("docs/report.txt").toStdString(),
                                     "-out",
                                     path("docs/report.txt.enc").toStdString()};
    int n = 0;
    for (const RsaParty* p : {&w.executor, &w.local, &w.ldap, &w.nobody}) {
      const QString pem = path(QStringLiteral("r%1.pem").arg(n++));
      FILE* f = std::fopen(pem.toUtf8().constData(), "w");
      ASSERT_NE(f, nullptr);
      PEM_write_X509(f, p->party.cert.get());
      std::fclose(f);
      args.push_back(pem.toStdString());
    }
    const test_support::ProgramResult r = test_support::run_program(args);
    ASSERT_EQ(r.status, 0) << r.output;
    // The executor's personal entry, named by its serial as the directory names them.
    platform::reg::RegistryKey entry;
    open_key(entry, "\\Certificats\\Owner\\51");
    const QByteArray der = bytes(w.executor.party.der);
    entry.SetString("File", "/nonexistent/key.p8");
    entry.SetString("Path", "");
    entry.SetString("Profile", "Исполнитель");
    entry.SetDword("SCZI", 0);
    entry.SetBinary("SerNum", der.constData(), static_cast<std::uint32_t>(der.size()));
    set_executor("51");
    directory_user(w.local.serial, bytes(w.local.party.der));
  }

  void set_executor(const std::string& entry) {
    platform::reg::RegistryKey owner;
    open_key(owner, "\\Certificats\\Owner");
    owner.SetString("Owner", entry);
  }

  // The private slapd with the LDAP recipient in it, and the settings that
  // name it; false (the test skipped or failed) when it cannot start.
  bool start_ldap() {
    std::string why;
    if (!slapd_.start(&why)) {
      if (under_ci()) ADD_FAILURE() << "slapd: " << why;
      skipped_ = why;
      return false;
    }
    const RsaWorld& w = rsa_world();
    test_support::SlapdServer::Entry entry;
    entry.cn = "sidorov";
    entry.objectClasses = {"device", "pkiUser", "dossarSerialHolder"};
    entry.serialDecimal = "83";
    entry.certificates = {w.ldap.party.der};
    if (!slapd_.add(entry, &why)) {
      ADD_FAILURE() << why;
      return false;
    }
    ldap_settings("127.0.0.1", std::to_string(slapd_.port()), test_support::SlapdServer::suffix());
    return true;
  }

  std::unique_ptr<CDecryptDlg> dialog(const QString& file, const QString& input) {
    DecryptDialogServices services;
    services.prompts = &prompts_;
    services.files = &files_;
    services.help = [this](int context) { help_.push_back(context); };
    services.viewer = [this](const QByteArray& c) { viewed_.push_back(c); };
    auto dlg = std::make_unique<CDecryptDlg>(std::move(services));
    DecryptRequest request;
    request.inputFile = file;
    request.sourceName = input;
    dlg->setRequest(request);
    return dlg;
  }
  static QStringList column(const CDecryptDlg& d, int c) {
    QStringList out;
    for (int r = 0; r < d.list()->rows().rowCount(); ++r) out << d.list()->rows().text(r, c);
    return out;
  }
  void select(CDecryptDlg& d, int row) {
    const QRect rect = d.list()->visualRect(d.list()->rows().index(row, 1));
    QTest::mouseClick(d.list()->viewport(), Qt::LeftButton, {}, rect.center());
  }

  test_support::SlapdServer slapd_;
  std::string skipped_;
  ScriptedPromptService prompts_;
  ScriptedFileDialogService files_;
  std::vector<int> help_;
  std::vector<QByteArray> viewed_;
};

TEST_F(DecryptWindow, FourRecipientsFromEverySource) {
  if (!start_ldap()) {
    if (!skipped_.empty()) GTEST_SKIP() << "slapd: " << skipped_;
    return;
  }
  const RsaWorld& w = rsa_world();
  auto dlg = dialog(path("docs/report.txt.enc"), path("docs/report.txt.enc"));
  ASSERT_TRUE(dlg->OnInitDialog());
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Расшифровать"));
  EXPECT_EQ(column(*dlg, 0), QStringList({" 1 ", " 2 ", " 3 ", " 4 "}));
  EXPECT_EQ(column(*dlg, 1), QStringList({"Исполнитель Иванов", "Петров из справочника", "Сидоров из LDAP", ""}));
  EXPECT_EQ(column(*dlg, 2), QStringList({"RSA Root", "RSA Root", "RSA Root", "RSA Root"}));
  EXPECT_EQ(column(*dlg, 3), QStringList({"51", "52", "53", "54"}));
  EXPECT_EQ(column(*dlg, 6), QStringList({"Исполнитель", "", "", ""}));
  std::vector<int> images;
  for (int r = 0; r < dlg->list()->rows().rowCount(); ++r) images.push_back(dlg->list()->rows().row(r).image);
  EXPECT_EQ(images, std::vector<int>({kDecryptExecutor, kDecryptRegistered, kDecryptOther, kDecryptUnknown}));
  EXPECT_FALSE(column(*dlg, 4)[2].isEmpty()) << "the LDAP certificate is described";
  EXPECT_TRUE(column(*dlg, 4)[3].isEmpty());
  // The executor's row is chosen; the names are proposed.
  EXPECT_EQ(dlg->list()->selectedRowList(), std::vector<int>({0}));
  EXPECT_TRUE(dlg->okButton()->isEnabled());
  EXPECT_TRUE(dlg->viewButton()->isEnabled());
  EXPECT_EQ(dlg->inputEdit()->text(), QStringLiteral("report.txt.enc"));
  EXPECT_EQ(dlg->outputEdit()->text(), path("docs/report.txt"));
  // The unknown recipient can be looked at in the list but not chosen.
  select(*dlg, 3);
  EXPECT_EQ(dlg->list()->selectedRowList(), std::vector<int>({3}));
  EXPECT_FALSE(dlg->okButton()->isEnabled());
  EXPECT_FALSE(dlg->viewButton()->isEnabled());
  dlg->accept();
  EXPECT_TRUE(dlg->isVisible()) << "no certificate: nothing to decrypt with";
  select(*dlg, 2);
  EXPECT_TRUE(dlg->okButton()->isEnabled());
  QTest::mouseClick(dlg->viewButton(), Qt::LeftButton);
  ASSERT_EQ(viewed_.size(), 1U);
  EXPECT_EQ(viewed_[0], bytes(w.ldap.party.der));
  QTest::keyClick(dlg.get(), Qt::Key_F1);
  EXPECT_EQ(help_, std::vector<int>({71}));
  for (const char* text : {"Получатели зашифрованного сообщения", "Имя расшифрованого файла", "Просмотр",
                           "Расшифровать", "Отменить", "Справка"}) {
    bool found = false;
    for (QWidget* child : dlg->findChildren<QWidget*>())
      found = found || (child->isVisible() && child->property("text").toString() == QString::fromUtf8(text));
    EXPECT_TRUE(found) << text;
  }
  EXPECT_EQ(dlg->findChild<QGroupBox*>()->title(), QStringLiteral("Файл для расшифрования "));
  select(*dlg, 0);
  gui_test::expect_no_clipped_text(dlg.get());
  gui_test::screenshot(dlg.get(), "decrypt_dialog");
}

TEST_F(DecryptWindow, NoToReplaceKeepsTheWindowOpen) {
  write_file("docs/report.txt", "an older report\n");
  auto dlg = dialog(path("docs/report.txt.enc"), path("docs/report.txt.enc"));
  ASSERT_TRUE(dlg->OnInitDialog());
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  // "..." offers the proposed name with the filter; the chosen name stands.
  files_.queue(path("docs/report-copy.txt"));
  QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
  ASSERT_EQ(files_.seen().size(), 1U);
  EXPECT_EQ(files_.seen()[0].filter, QStringLiteral("Все файлы (*.*)|*.*||"));
  EXPECT_EQ(files_.seen()[0].initialPath, path("docs/report.txt"));
  EXPECT_EQ(dlg->outputEdit()->text(), path("docs/report-copy.txt"));
  dlg->outputEdit()->setText(path("docs/report.txt"));
  prompts_.queue(IDNO);
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  ASSERT_EQ(prompts_.seen().size(), 1U);
  EXPECT_EQ(prompts_.seen()[0].text,
            QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?").arg(path("docs/report.txt")));
  EXPECT_EQ(prompts_.seen()[0].flags & MB_TYPEMASK, unsigned{MB_YESNO});
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(dlg->result(), 0);
  prompts_.queue(IDYES);
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  const DecryptAnswer a = dlg->answer(true);
  EXPECT_TRUE(a.accepted);
  EXPECT_EQ(a.outputPath, path("docs/report.txt"));
  EXPECT_EQ(a.key.name, QStringLiteral("51"));
  EXPECT_EQ(a.key.serNum, bytes(rsa_world().executor.party.der));
  EXPECT_EQ(prompts_.unexpected(), 0);
  // The list keeps its column widths under its own entry.
  dlg.reset();
  const QString ini = IniColumnWidthProfile::defaultPath();
  EXPECT_TRUE(QString::fromStdString(read_file(ini)).contains(QStringLiteral("UnEncriptFile="))) << ini.toStdString();
}

// The file-state command through the widget UI: the window shows the file
// and its state, and OK ends the command.
TEST_F(DecryptWindow, FileStateShowsTheInformationWindow) {
  BoxPromptService boxes;
  WidgetUi ui(boxes);
  std::atomic<bool> done{false};
  int result = -1;
  std::thread worker([&] {
    const OperationUiScope scope(&ui);
    result = ShowFileState(path("docs/report.txt"));
    done.store(true);
  });
  CFileInfoDlg* info = dialog_test::wait_window<CFileInfoDlg>();
  EXPECT_NE(info, nullptr);
  if (info != nullptr) {
    EXPECT_EQ(info->nameEdit()->text(), path("docs/report.txt"));
    EXPECT_EQ(info->description(), QStringLiteral("Документ не защищен или испорчен!"));
    EXPECT_TRUE(dialog_test::click_button(info, QStringLiteral("OK")));
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
  worker.join();
  EXPECT_EQ(result, 0);
}

TEST_F(DecryptWindow, WithoutTheExecutorRowZeroIsChosenAndAMissingFileIsRefused) {
  // No LDAP server answers: the LDAP recipient stays unknown.
  ldap_settings("127.0.0.1", std::to_string(test_support::free_loopback_port()), test_support::SlapdServer::suffix());
  set_executor("");
  auto dlg = dialog(path("docs/report.txt.enc"), path("docs/report.txt.enc"));
  ASSERT_TRUE(dlg->OnInitDialog());
  std::vector<int> images;
  for (int r = 0; r < dlg->list()->rows().rowCount(); ++r) images.push_back(dlg->list()->rows().row(r).image);
  EXPECT_EQ(images, std::vector<int>({kDecryptRegistered, kDecryptRegistered, kDecryptUnknown, kDecryptUnknown}));
  EXPECT_EQ(dlg->list()->selectedRowList(), std::vector<int>({0}));

  // A body that does not read is no message to the toolkit: nothing listed,
  // nothing to choose.
  const std::string whole = read_file(path("docs/report.txt.enc"));
  write_file("docs/junk.enc", whole.substr(0, 120));
  auto junk = dialog(path("docs/junk.enc"), path("docs/junk.enc"));
  EXPECT_TRUE(junk->OnInitDialog());
  EXPECT_EQ(junk->list()->rows().rowCount(), 0);
  EXPECT_FALSE(junk->okButton()->isEnabled());
  // A file that cannot be read at all shows the toolkit's error and is refused.
  auto gone = dialog(path("docs/gone.enc"), path("docs/gone.enc"));
  EXPECT_FALSE(gone->OnInitDialog());
  ASSERT_EQ(ui_.messages().size(), 1U);
  EXPECT_EQ(ui_.messages()[0].text, error_text_loader().ErrorMessage(quillon2::QL_ERR_INPUT));
}

TEST_F(DecryptWindow, FileInformationShowsItsTexts) {
  CFileInfoDlg dlg;
  const QString text = QStringLiteral("Файл подписан.\r\n Подпись №1\r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n");
  dlg.setTexts(QStringLiteral("/home/u/docs/report.txt.sgn"), text);
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Информация ..."));
  EXPECT_EQ(dlg.findChild<QGroupBox*>()->title(), QStringLiteral(" Имя файла "));
  EXPECT_EQ(dlg.nameEdit()->text(), QStringLiteral("/home/u/docs/report.txt.sgn"));
  EXPECT_TRUE(dlg.nameEdit()->isReadOnly());
  EXPECT_TRUE(dlg.descriptionEdit()->isReadOnly());
  EXPECT_EQ(dlg.description(), text);
  EXPECT_EQ(dlg.descriptionEdit()->toPlainText(), QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  gui_test::expect_no_clipped_text(&dlg);
  gui_test::screenshot(&dlg, "file_info_dialog");
  EXPECT_TRUE(dialog_test::click_button(&dlg, QStringLiteral("OK")));
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace dsutils::widgets
