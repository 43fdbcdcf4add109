// The key-medium dialog: the acceptance rules over a fake probe with
// scripted boxes, and the window as a person uses it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <deque>
#include <filesystem>
#include <set>

#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/folder_browser.h"
#include "dsutils/widgets/key_file_dialog.h"
#include "dsutils/widgets/key_medium_dialog.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/widget_ui.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dialog_test::visible_window;
using dialog_test::wait_window;

const QString kInsert = QStringLiteral("Установите ключевой носитель!");
const QString kNotFound = QStringLiteral("Ключевой носитель не найден!");

class FakeProbe : public MediumProbe {
 public:
  std::set<QString> present;
  std::deque<bool> token;      // the answers of successive token tests (then false)
  std::deque<bool> removable;  // the same for the removable medium
  int opens = 0, closes = 0, tokenTests = 0, removableTests = 0, mediumTests = 0;

  bool mediumPresent(const QString& path) override {
    ++mediumTests;
    return present.count(path) != 0;
  }
  void openToolkit() override { ++opens; }
  bool tokenPresent(const QString&) override {
    ++tokenTests;
    return next(token);
  }
  void closeToolkit() override { ++closes; }
  bool removablePresent() override {
    ++removableTests;
    return next(removable);
  }

 private:
  static bool next(std::deque<bool>& q) {
    if (q.empty()) return false;
    const bool v = q.front();
    q.pop_front();
    return v;
  }
};

TEST(KeyMediumDlg, ClassificationTable) {
  struct Case {
    const char* what;
    QString path;
    std::set<QString> present;
    std::deque<bool> token, removable;
    std::vector<int> answers;  // the boxes' answers, in order
    bool accepted;
    QStringList boxes;  // the texts shown
    int opens, closes;
  };
  const QString tooLong = QStringLiteral("a") + QString(260, QLatin1Char('k'));
  const Case cases[] = {
      {"token answering", "vexil:\\", {}, {true}, {}, {}, true, {}, 1, 1},
      {"token after Retry", "vexil:\\", {}, {false, true}, {}, {IDRETRY}, true, {kInsert}, 1, 1},
      {"token, Cancel keeps the dialog", "vexil:\\", {}, {false}, {}, {IDCANCEL}, false, {kInsert}, 1, 1},
      {"Vexil is a path: present", "Vexil:\\", {"Vexil:\\"}, {true}, {}, {}, true, {}, 0, 0},
      {"Vexil is a path: missing", "Vexil:\\", {}, {true}, {}, {IDOK}, false, {kNotFound}, 0, 0},
      {"ibutton without a device", "ibutton:\\", {}, {}, {}, {}, true, {}, 0, 0},
      {"present path", "/keys/exec", {"/keys/exec"}, {}, {}, {}, true, {}, 0, 0},
      {"missing path", "/keys/gone", {}, {}, {true}, {IDOK}, false, {kNotFound}, 0, 0},
      {"a:\\keys, no medium: Retry, Cancel",
       "a:\\keys",
       {},
       {},
       {false, false},
       {IDRETRY, IDCANCEL},
       false,
       {kInsert, kInsert},
       0,
       0},
      {"A:\\keys, a medium", "A:\\keys", {}, {}, {true}, {}, true, {}, 0, 0},
      {"a medium after Retry", "a:\\keys", {}, {}, {false, true}, {IDRETRY}, true, {kInsert}, 0, 0},
      {"control character", "/keys/a\x01", {}, {}, {true}, {IDOK}, false, {kNotFound}, 0, 0},
      {"more than 260 characters", tooLong, {tooLong}, {}, {true}, {IDOK}, false, {kNotFound}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeProbe probe;
    probe.present = c.present;
    probe.token = c.token;
    probe.removable = c.removable;
    ScriptedPromptService prompts;
    for (int a : c.answers) prompts.queue(a);
    int calls = 0;
    bool accepted = false;
    AcceptMedium(c.path, probe, prompts, [&](bool a) {
      ++calls;
      accepted = a;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(accepted, c.accepted);
    QStringList shown;
    for (const auto& seen : prompts.seen()) {
      shown << seen.text;
      const unsigned type = seen.flags & MB_TYPEMASK;
      EXPECT_EQ(type, seen.text == kInsert ? unsigned(MB_RETRYCANCEL) : unsigned(MB_OK));
      EXPECT_EQ(seen.flags & MB_ICONMASK, seen.text == kInsert ? unsigned(MB_ICONEXCLAMATION) : unsigned(MB_ICONSTOP));
    }
    EXPECT_EQ(shown, c.boxes);
    EXPECT_EQ(prompts.unexpected(), 0);
    EXPECT_EQ(probe.opens, c.opens);
    EXPECT_EQ(probe.closes, c.closes);
  }
  EXPECT_EQ(ClassifyMedium(QStringLiteral("vexil:\\")), MediumClass::Token);
  EXPECT_EQ(ClassifyMedium(QStringLiteral("Vexil:\\")), MediumClass::Path);
  EXPECT_EQ(ClassifyMedium(QStringLiteral("iButton:\\")), MediumClass::Path);
}

class KeyMediumWindow : public ::testing::Test {
 protected:
  FakeProbe probe_;
  ScriptedPromptService prompts_;

  static KeyMediumRequest request(const QString& path, bool sczi = false, QByteArray cert = QByteArray("\x30\x00", 2)) {
    return KeyMediumRequest{QStringLiteral("Исполнитель"), path, QStringLiteral("exec.key"), sczi, std::move(cert)};
  }
};

// The prefilled medium is there: no window, path, file and format kept.
TEST_F(KeyMediumWindow, APresentMediumShowsNoDialog) {
  probe_.present = {QStringLiteral("/keys/exec")};
  WidgetUiOptions options;
  options.mediumProbe = &probe_;
  WidgetUi ui(prompts_, options);
  bool seen = false;
  QTimer spy;
  QObject::connect(&spy, &QTimer::timeout, [&] { seen = seen || visible_window<CKeyMediumDlg>() != nullptr; });
  spy.start(5);
  const KeyMediumAnswer a = ui.askKeyMedium(request(QStringLiteral("/keys/exec"), true));
  EXPECT_FALSE(seen);
  EXPECT_TRUE(a.accepted);
  EXPECT_EQ(a.mediumPath, "/keys/exec");
  EXPECT_EQ(a.keyFile, "exec.key");
  EXPECT_TRUE(a.keyFormat31);
}

// The texts of the window, exactly, and the browse button per entry.
TEST_F(KeyMediumWindow, TextsAndBrowseOnlyForTheFolderEntries) {
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(QString()));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Установите ключевой носитель"));
  QStringList groups;
  for (QGroupBox* g : dlg.findChildren<QGroupBox*>()) groups << g->title();
  EXPECT_EQ(groups, (QStringList{" Владелец ключа ", " Каталог ключевого носителя "}));
  EXPECT_EQ(dlg.scziBox()->text(), QStringLiteral("Ключи в формате СКЗИ"));
  EXPECT_EQ(dlg.viewButton()->text(), QStringLiteral("Просмотр"));
  EXPECT_EQ(dlg.keyFileButton()->text(), QStringLiteral("Секретный ключ"));
  QStringList buttons;
  for (QPushButton* b : dlg.findChildren<QPushButton*>())
    if (b != dlg.viewButton() && b != dlg.keyFileButton()) buttons << b->text();
  EXPECT_EQ(buttons, (QStringList{"OK", "Отмена"}));
  QComboBox* combo = dlg.mediumCombo();
  ASSERT_EQ(combo->count(), 4);
  EXPECT_EQ(combo->itemText(0), "A:\\");
  EXPECT_EQ(combo->itemText(1), "C:\\");
  EXPECT_EQ(combo->itemText(2), "vexil:\\");
  EXPECT_EQ(combo->itemText(3), "ibutton:\\");
  // An empty medium path selects the first entry.
  EXPECT_EQ(combo->currentText(), "A:\\");
  EXPECT_EQ(dlg.ownerEdit()->text(), QStringLiteral("Исполнитель"));
  EXPECT_TRUE(dlg.ownerEdit()->isReadOnly());
  gui_test::expect_no_clipped_text(&dlg);
  gui_test::screenshot(&dlg, "key_medium_dialog");

  // Each entry chosen from the keyboard, as CBN_SELCHANGE comes.
  combo->setFocus();
  struct Step {
    Qt::Key key;
    int index;
    bool browse;
  };
  const Step steps[] = {{Qt::Key_Down, 1, true}, {Qt::Key_Down, 2, false}, {Qt::Key_Down, 3, false},
                        {Qt::Key_Up, 2, false},  {Qt::Key_Up, 1, true},    {Qt::Key_Up, 0, true}};
  for (const Step& s : steps) {
    QTest::keyClick(combo, s.key);
    EXPECT_EQ(combo->currentIndex(), s.index);
    EXPECT_EQ(dlg.browseButton()->isVisible(), s.browse) << combo->currentText().toStdString();
  }
}

// "Ключи в формате СКЗИ" without an owner certificate hides "Секретный
// ключ"; with one it stays.
TEST_F(KeyMediumWindow, ScziWithoutCertificateHidesTheKeyFileButton) {
  for (const bool withCertificate : {false, true}) {
    SCOPED_TRACE(withCertificate ? "certificate" : "none");
    CKeyMediumDlg dlg(probe_, prompts_);
    dlg.setRequest(
        request(QStringLiteral("/keys/x"), false, withCertificate ? QByteArray("\x30\x00", 2) : QByteArray()));
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_TRUE(dlg.keyFileButton()->isVisible());
    dlg.scziBox()->click();
    EXPECT_TRUE(dlg.scziBox()->isChecked());
    EXPECT_EQ(dlg.keyFileButton()->isVisible(), withCertificate);
    dlg.scziBox()->click();
    EXPECT_TRUE(dlg.keyFileButton()->isVisible());
  }
  // Opened with the flag set and no certificate: hidden from the start.
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(QStringLiteral("/keys/x"), true, QByteArray()));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_FALSE(dlg.keyFileButton()->isVisible());
}

// Retry, then Cancel in the box keeps the dialog open with the input; only
// the dialog's own Cancel ends it.
TEST_F(KeyMediumWindow, CancelInTheBoxKeepsTheDialogWithTheInput) {
  WidgetUiOptions options;
  options.mediumProbe = &probe_;
  WidgetUi ui(prompts_, options);
  prompts_.queue(IDRETRY);
  prompts_.queue(IDCANCEL);
  bool kept = false;
  QString textAfter;
  QTimer::singleShot(0, [&] {
    CKeyMediumDlg* dlg = wait_window<CKeyMediumDlg>();
    ASSERT_NE(dlg, nullptr);
    QLineEdit* edit = dlg->mediumCombo()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("a:\\keys"));
    ASSERT_TRUE(dialog_test::click_button(dlg, QStringLiteral("OK")));
    kept = dlg->isVisible();
    textAfter = dlg->mediumCombo()->currentText();
    dlg->reject();
  });
  const KeyMediumAnswer a = ui.askKeyMedium(request(QStringLiteral("/keys/gone")));
  EXPECT_TRUE(kept);
  EXPECT_EQ(textAfter, "a:\\keys");
  EXPECT_FALSE(a.accepted);
  ASSERT_EQ(prompts_.seen().size(), 2u);
  EXPECT_EQ(prompts_.seen()[0].text, kInsert);
  EXPECT_EQ(probe_.removableTests, 2);
}

// A medium that turns up: the answer carries the typed path, the key file
// and the ticked format flag.
TEST_F(KeyMediumWindow, AnAcceptedMediumComesBackWithFileAndFormat) {
  WidgetUiOptions options;
  options.mediumProbe = &probe_;
  WidgetUi ui(prompts_, options);
  probe_.present = {QStringLiteral("/keys/moved")};
  QTimer::singleShot(0, [&] {
    CKeyMediumDlg* dlg = wait_window<CKeyMediumDlg>();
    ASSERT_NE(dlg, nullptr);
    QLineEdit* edit = dlg->mediumCombo()->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("/keys/moved"));
    dlg->scziBox()->click();
    ASSERT_TRUE(dialog_test::click_button(dlg, QStringLiteral("OK")));
  });
  const KeyMediumAnswer a = ui.askKeyMedium(request(QStringLiteral("/keys/gone")));
  EXPECT_TRUE(a.accepted);
  EXPECT_EQ(a.mediumPath, "/keys/moved");
  EXPECT_EQ(a.keyFile, "exec.key");
  EXPECT_TRUE(a.keyFormat31);
  EXPECT_TRUE(prompts_.seen().empty());
}

// "..." opens the folder chooser at the medium's folder; the folder chosen
// becomes the medium path.
TEST_F(KeyMediumWindow, BrowseChoosesTheMediumFolder) {
  const std::string root = (std::filesystem::temp_directory_path() / "dossar-kmd-XXXXXX").string();
  std::string tmpl = root;
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  std::filesystem::create_directories(tmpl + "/keys");
  const QString keys = QString::fromStdString(tmpl + "/keys");
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(keys));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  QTest::mouseClick(dlg.browseButton(), Qt::LeftButton);
  InitialFolderBrowser* browser = dlg.folderBrowser();
  ASSERT_NE(browser, nullptr);
  QDialog* chooser = browser->dialog();
  ASSERT_NE(chooser, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(chooser));
  auto* title = chooser->findChild<QLabel*>(QStringLiteral("title"));
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->text(), QStringLiteral("Укажите путь к ключевому носителю"));
  EXPECT_EQ(chooser->findChild<QLabel*>(QStringLiteral("status"))->text(), keys);
  EXPECT_EQ(browser->flags(), unsigned(BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT));
  gui_test::screenshot(chooser, "key_medium_folder_chooser");
  chooser->accept();
  EXPECT_TRUE(QTest::qWaitFor([&] { return browser->dialog() == nullptr; }, 2000));
  EXPECT_EQ(dlg.mediumCombo()->currentText(), keys);
  EXPECT_EQ(dlg.m_mediumPath, keys);
  std::filesystem::remove_all(tmpl);
}

// "Секретный ключ" opens the key-file dialog with the medium and the file;
// its file comes back as the key-file name.
TEST_F(KeyMediumWindow, TheKeyFileButtonTakesTheChosenFile) {
  QString seenFolder, seenFile;
  setKeyFileOpener(
      [&](QWidget*, const QString& folder, const QString& file, std::function<void(std::optional<QString>)> done) {
        seenFolder = folder;
        seenFile = file;
        done(QStringLiteral("other.key"));
      });
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(QStringLiteral("/keys/x")));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  QTest::mouseClick(dlg.keyFileButton(), Qt::LeftButton);
  setKeyFileOpener(nullptr);
  EXPECT_EQ(seenFolder, "/keys/x");
  EXPECT_EQ(seenFile, "exec.key");
  EXPECT_EQ(dlg.answer(true).keyFile, "other.key");
}

// As shipped, the button opens the key-file dialog with the medium folder
// and the key file; the file confirmed there becomes the key-file name.
TEST_F(KeyMediumWindow, TheKeyFileButtonOpensTheKeyFileDialog) {
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(QStringLiteral("/keys/x")));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  QTest::mouseClick(dlg.keyFileButton(), Qt::LeftButton);
  CKeyFileDlg* keyFile = wait_window<CKeyFileDlg>();
  ASSERT_NE(keyFile, nullptr);
  EXPECT_EQ(keyFile->mediumFolder(), "/keys/x");
  EXPECT_EQ(keyFile->keyFile(), "exec.key");
  keyFile->keyFileEdit()->clear();
  QTest::keyClicks(keyFile->keyFileEdit(), QStringLiteral("typed.key"));
  QTest::mouseClick(keyFile->okButton(), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.answer(true).keyFile == QLatin1String("typed.key"); }, 2000));
}

// "Просмотр" hands the owner's certificate to the viewer; without a viewer
// it does nothing.
TEST_F(KeyMediumWindow, ViewHandsTheCertificateToTheViewer) {
  const QByteArray cert("\x30\x03\x02\x01\x07", 5);
  {
    dialog_test::LibPath lib(FAKE_VIEWER_DIR);
    CKeyMediumDlg dlg(probe_, prompts_);
    dlg.setRequest(request(QStringLiteral("/keys/x"), false, cert));
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QTest::mouseClick(dlg.viewButton(), Qt::LeftButton);
    std::string bytes;
    EXPECT_EQ(dialog_test::recorded(FAKE_VIEWER_DIR, bytes), 1);
    EXPECT_EQ(bytes, cert.toStdString());
  }
  dialog_test::LibPath none(EMPTY_DIR);
  CKeyMediumDlg dlg(probe_, prompts_);
  dlg.setRequest(request(QStringLiteral("/keys/x"), false, cert));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  QTest::mouseClick(dlg.viewButton(), Qt::LeftButton);  // nothing, no crash
  EXPECT_TRUE(dlg.isVisible());
}

}  // namespace
}  // namespace dsutils::widgets
