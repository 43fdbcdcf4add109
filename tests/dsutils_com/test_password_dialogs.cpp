// The key and token password dialogs driven by QTest: their texts, OK
// enabling, help, the byte limits and the code page (glibc's iconv is the
// reference for the bytes handed over), token Cancel, and a key file under a
// Cyrillic password loaded through the real dialog and the real toolkit.
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crypto/rand/rand.h"
#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/password_dialogs.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "platform/codepage/codepage.h"
#include "quillon2/ql_frame.h"
#include "tests/dsutils_com/type_text.h"
#include "tests/support/gost_pki.h"
#include "tests/support/gui_test.h"
#include "tests/support/provider_fixture.h"
#include "tests/support/ql_fixture.h"

namespace dsutils::widgets {
namespace {

namespace ql = quillon2;
using platform::CodePage;

// glibc's conversion of UTF-8 text into `charset`; nothing when it cannot
// convert a character.
std::optional<std::string> iconv_to(const char* charset, const QString& text) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  QByteArray in = text.toUtf8();
  std::string out(static_cast<std::size_t>(in.size()) * 4 + 4, '\0');
  char* inp = in.data();
  std::size_t inLeft = static_cast<std::size_t>(in.size());
  char* outp = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

QString russian_letters() {
  QString s;
  for (char16_t c = u'А'; c <= u'я'; ++c) s.append(QChar(c));
  s.append(QChar(u'Ё'));
  s.append(QChar(u'ё'));
  return s;
}

template <class T>
T* open_dialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = dynamic_cast<T*>(w); d != nullptr && d->isVisible()) return d;
  return nullptr;
}

// Restores the process's code page after a test that changes it.
struct CodePageScope {
  CodePage saved = platform::local_codepage();
  explicit CodePageScope(CodePage cp) { platform::set_local_codepage(cp); }
  ~CodePageScope() { platform::set_local_codepage(saved); }
};

// A scratch folder and registry (the key prompt reads the mail settings).
class PasswordDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path.empty());
    ::setenv("DOSSAR_REGISTRY_DB", scratch_.file("registry.db").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("DOSSAR_REGISTRY_DB"); }
  QString path(const QString& name) const { return QString::fromStdString(scratch_.path) + QLatin1Char('/') + name; }
  void write_file(const QString& name, const std::string& bytes) const {
    std::ofstream(QFile::encodeName(path(name)).toStdString(), std::ios::binary | std::ios::trunc) << bytes;
  }

  test_support::Scratch scratch_{"dossar-prompts"};
  ScriptedPromptService prompts_;
};

TEST_F(PasswordDialogs, KeyPasswordDialogTextsOkEnablingAndHelp) {
  std::vector<int> help;
  CKeyPasswordDlg dlg([&help](int context) { help.push_back(context); });
  dlg.setKeyName(QStringLiteral("/home/user/ключи/secret.key"));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Пароль для расшифрования ключа"));
  EXPECT_EQ(dlg.textLabel()->text(), QStringLiteral("Секретный ключ зашифрован на пароле. Введите пароль."));
  EXPECT_EQ(dlg.okButton()->text(), QStringLiteral("OK"));
  EXPECT_EQ(dlg.cancelButton()->text(), QStringLiteral("Отмена"));
  EXPECT_EQ(dlg.helpButton()->text(), QStringLiteral("Справка"));
  EXPECT_TRUE(dlg.keyNameEdit()->isReadOnly());
  EXPECT_TRUE(dlg.keyNameEdit()->alignment() & Qt::AlignRight);
  EXPECT_EQ(dlg.keyName(), QStringLiteral("/home/user/ключи/secret.key"));
  EXPECT_EQ(dlg.passwordEdit()->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dlg.windowFlags() & Qt::WindowContextHelpButtonHint);
  gui_test::screenshot(&dlg, "key_password_dialog_143");
  gui_test::expect_no_clipped_text(&dlg);

  // OK waits for the first character and is never disabled again.
  EXPECT_FALSE(dlg.okButton()->isEnabled());
  QTest::keyClick(dlg.passwordEdit(), Qt::Key_Return);
  EXPECT_TRUE(dlg.isVisible()) << "Enter ended the dialog with OK disabled";
  testing::type_text(dlg.passwordEdit(), QStringLiteral("п"));
  EXPECT_TRUE(dlg.okButton()->isEnabled());
  QTest::keyClick(dlg.passwordEdit(), Qt::Key_Backspace);
  EXPECT_TRUE(dlg.passwordEdit()->text().isEmpty());
  EXPECT_TRUE(dlg.okButton()->isEnabled());

  dlg.helpButton()->click();
  QTest::keyClick(&dlg, Qt::Key_F1);
  EXPECT_EQ(help, (std::vector<int>{131215, 131215}));
  EXPECT_TRUE(dlg.isVisible());

  // The key name may change while the dialog is open.
  dlg.setKeyName(QStringLiteral("/media/usb/other.key"));
  EXPECT_EQ(dlg.keyNameEdit()->text(), QStringLiteral("/media/usb/other.key"));
}

TEST_F(PasswordDialogs, TokenPasswordDialogTexts) {
  CPasswordDlg dlg;
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Пароль для доступа к Vexil"));
  EXPECT_EQ(dlg.textLabel()->text(),
            QStringLiteral("Секретный ключ находится на ключевом носителе Vexil,  доступ к которому защищен "
                           "паролем.\nВведите пароль:"));
  EXPECT_EQ(dlg.okButton()->text(), QStringLiteral("OK"));
  EXPECT_EQ(dlg.cancelButton()->text(), QStringLiteral("Отмена"));
  EXPECT_EQ(dlg.passwordEdit()->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dlg.passwordEdit()->maxBytes(), 255);
  gui_test::screenshot(&dlg, "token_password_dialog_220");
  gui_test::expect_no_clipped_text(&dlg);
}

// A keystroke or paste that would pass the limit, or a character the code
// page lacks, is refused whole; nothing is cut.
TEST_F(PasswordDialogs, OverLongAndForeignInputIsRefused) {
  const CodePageScope cp(CodePage::Windows1251);
  struct Row {
    const char* what;
    int limit;
  } rows[] = {{"key password", 259}, {"token PIN", 255}};
  for (const Row& row : rows) {
    PasswordEdit edit(row.limit);
    edit.show();
    const QString over(row.limit + 1, QChar(u'Ж'));
    const QString fits(row.limit, QChar(u'Ж'));
    QApplication::clipboard()->setText(over);
    edit.paste();
    EXPECT_TRUE(edit.text().isEmpty()) << row.what << ": an over-long paste was taken (or cut)";
    edit.insert(over);
    EXPECT_TRUE(edit.text().isEmpty()) << row.what;
    QApplication::clipboard()->setText(fits);
    edit.paste();
    EXPECT_EQ(edit.text(), fits) << row.what;
    testing::type_text(&edit, QStringLiteral("ж"));
    EXPECT_EQ(edit.text(), fits) << row.what << ": a keystroke passed the limit";
    edit.clear();
    for (const QString& foreign : {QStringLiteral("中"), QStringLiteral("ä"), QStringLiteral("😀"), QString(QChar(0))}) {
      testing::type_text(&edit, QStringLiteral("ab"));
      edit.insert(foreign);
      EXPECT_EQ(edit.text(), QStringLiteral("ab")) << row.what << ": took U+" << foreign.toUcs4().value(0);
      QApplication::clipboard()->setText(QStringLiteral("cd") + foreign);
      edit.paste();
      EXPECT_EQ(edit.text(), QStringLiteral("ab")) << row.what;
      edit.clear();
    }
  }
  // 260 Cyrillic letters pasted into the real key dialog.
  CKeyPasswordDlg dlg([](int) {});
  dlg.show();
  QApplication::clipboard()->setText(QString(260, QChar(u'Щ')));
  dlg.passwordEdit()->paste();
  EXPECT_TRUE(dlg.passwordEdit()->text().isEmpty());
  EXPECT_FALSE(dlg.okButton()->isEnabled());
}

// Every Russian letter, Ё, ё and № typed into the real dialog reaches the
// caller as glibc's iconv converts it, in each of the three code pages; a
// character iconv cannot convert (№ in KOI8-R) is refused.
TEST_F(PasswordDialogs, BytesHandedOverEqualIconvInEachCodePage) {
  struct Row {
    CodePage cp;
    const char* charset;
    bool hasNumero;
  } rows[] = {
      {CodePage::Windows1251, "CP1251", true}, {CodePage::Koi8R, "KOI8-R", false}, {CodePage::Cp866, "CP866", true}};
  WidgetUi ui(prompts_);
  for (const Row& row : rows) {
    const CodePageScope cp(row.cp);
    const QString numero = QStringLiteral("№");
    ASSERT_EQ(iconv_to(row.charset, numero).has_value(), row.hasNumero) << row.charset;
    const QString typed = russian_letters() + (row.hasNumero ? numero : QString());
    const std::optional<std::string> expected = iconv_to(row.charset, typed);
    ASSERT_TRUE(expected) << row.charset;
    ASSERT_EQ(expected->size(), static_cast<std::size_t>(typed.size()));

    PasswordBuffer out;
    int length = -2;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      length = ui.askPassword({PasswordRequest::Kind::KeyContainer, QStringLiteral("k.key")}, out);
      done = true;
    });
    CKeyPasswordDlg* dlg = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (dlg = open_dialog<CKeyPasswordDlg>()) != nullptr; }, 3000));
    EXPECT_EQ(dlg->keyName(), QStringLiteral("k.key"));
    if (!row.hasNumero) {
      testing::type_text(dlg->passwordEdit(), numero);
      EXPECT_TRUE(dlg->passwordEdit()->text().isEmpty()) << row.charset << ": took a character it lacks";
    }
    testing::type_text(dlg->passwordEdit(), typed);
    EXPECT_EQ(dlg->passwordEdit()->text(), typed) << row.charset;
    dlg->okButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 3000));
    worker.join();
    ASSERT_EQ(length, static_cast<int>(expected->size())) << row.charset;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(length)), *expected)
        << row.charset;
    EXPECT_EQ(out.data()[length], 0);
  }
}

// Cancel of the token dialog answers 0 and leaves the toolkit's buffer as it
// was; OK hands the PIN over with its terminator.
TEST_F(PasswordDialogs, TokenCancelLeavesTheBufferAndOkFillsIt) {
  WidgetUi ui(prompts_);
  for (const bool ok : {false, true}) {
    char buffer[256];
    std::memset(buffer, 'z', sizeof buffer);
    int result = -2;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      const OperationUiScope scope(&ui);
      result = CryptoSession::OnTokenPassword(buffer, sizeof buffer, 0, nullptr);
      done = true;
    });
    CPasswordDlg* dlg = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (dlg = open_dialog<CPasswordDlg>()) != nullptr; }, 3000));
    testing::type_text(dlg->passwordEdit(), QStringLiteral("1234"));
    (ok ? dlg->okButton() : dlg->cancelButton())->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 3000));
    worker.join();
    if (ok) {
      EXPECT_EQ(result, 4);
      EXPECT_STREQ(buffer, "1234");
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'z'));
    }
  }
}

// A key file encrypted under a Cyrillic password (its Windows-1251 bytes)
// loads when the password is typed into the real dialog; the prompt then
// remembers it for that key.
TEST_F(PasswordDialogs, CyrillicPasswordTypedIntoTheDialogLoadsTheKey) {
  const CodePageScope cp(CodePage::Windows1251);
  ASSERT_EQ(ql::QL_init(nullptr, 0), ql::QL_OK);
  qcrypto::RAND_set_rand_method(&test_support::kSystemRand);
  qcrypto::UniquePtr<EVP_PKEY> key(test_support::gost_new_key(test_support::GostKeyType::kEcr3410));
  ASSERT_TRUE(key);
  const std::string cp1251 =
      "\xCF\xE0\xF0\xEE\xEB\xFC \xB9"
      "5";  // "Пароль №5"
  const std::vector<unsigned char> file = test_support::encrypted_pkcs8(key.get(), cp1251.c_str());
  ASSERT_FALSE(file.empty());
  write_file("ключ.p8", std::string(file.begin(), file.end()));
  const QString keyFile = path("ключ.p8");

  WidgetUi ui(prompts_);
  CryptoSession session;
  for (const QString& typed : {QStringLiteral("Пароль №6"), QStringLiteral("Пароль №5")}) {
    int code = -1;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      const OperationUiScope scope(&ui);
      code = session.LoadKeyFile(keyFile, "");
      done = true;
    });
    CKeyPasswordDlg* dlg = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (dlg = open_dialog<CKeyPasswordDlg>()) != nullptr; }, 5000));
    EXPECT_TRUE(dlg->keyName().endsWith(QStringLiteral("ключ.p8"))) << dlg->keyName().toStdString();
    testing::type_text(dlg->passwordEdit(), typed);
    dlg->okButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
    worker.join();
    const bool right = typed.endsWith(QLatin1Char('5'));
    EXPECT_EQ(code == ql::QL_OK, right) << typed.toStdString() << " gave " << code;
    // A wrong password fails the load, which wipes what the prompt remembered.
    EXPECT_EQ(ui.passwordMemory().empty(), !right);
  }
  const OperationUiScope scope(&ui);
  PasswordBuffer out;
  ASSERT_EQ(CryptoSession::RememberedPasswordFor(keyFile, out), static_cast<int>(cp1251.size()));
  EXPECT_EQ(std::memcmp(out.data(), cp1251.data(), cp1251.size()), 0);
  while (ql::QL_is_initialized() != 0) ql::QL_cleanup();
}

}  // namespace
}  // namespace dsutils::widgets
