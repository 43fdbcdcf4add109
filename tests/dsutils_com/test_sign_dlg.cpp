// The sign and add-signature dialog: the naming rules as a table, the
// author check, and the window over a scratch directory.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/shell_service.h"
#include "dsutils/widgets/sign_dialog.h"
#include "tests/dsutils_com/com_test_util.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

TEST(SignDlgNames, InitialNamesTable) {
  struct Case {
    const char* what;
    QString document;
    bool group, add;
    SignNames caller;
    std::uint32_t result;
    QString resultPath;
    SignNames expected;
  };
  const Case cases[] = {
      {"one file", "/d/a.txt", false, false, {}, 0, "", {"/d/a.txt.sgn", "/d/a.txt.sga"}},
      {"a .sgn document is its own embedded name", "/d/a.sgn", false, false, {}, 0, "", {"/d/a.sgn", "/d/a.sgn.sga"}},
      {"the extension is compared exactly", "/d/a.SGN", false, false, {}, 0, "", {"/d/a.SGN.sgn", "/d/a.SGN.sga"}},
      {"a caller's detached name stays",
       "/d/a.txt",
       false,
       false,
       {"", "/x/b.sga"},
       0,
       "",
       {"/d/a.txt.sgn", "/x/b.sga"}},
      {"group", "Групповая обработка", true, false, {}, 0, "", {"*.sgn", "*.sga"}},
      {"group with ResultPath", "Групповая обработка", true, false, {}, 1, "/r", {"*.sgn", "*.sga"}},
      {"ResultPath", "/d/a.txt", false, false, {}, 1, "/r", {"/r/a.txt.sgn", "/r/a.txt.sga"}},
      {"ResultPath, a .sgn document", "/d/a.sgn", false, false, {}, 1, "/r/", {"/r/a.sgn", "/r/a.sgn.sga"}},
      {"ResultPath without Result 1", "/d/a.txt", false, false, {}, 0, "/r", {"/d/a.txt.sgn", "/d/a.txt.sga"}},
      {"add mode keeps the caller's names",
       "/d/a.txt.sga : a.txt",
       false,
       true,
       {"", "/d/a.txt.sga"},
       0,
       "",
       {"", "/d/a.txt.sga"}},
      {"add mode with ResultPath",
       "/d/a.txt.sga : a.txt",
       false,
       true,
       {"", "/d/a.txt.sga"},
       1,
       "/r",
       {"", "/d/a.txt.sga"}},
  };
  for (const Case& c : cases) {
    SortSettings s;
    s.Result = c.result;
    s.ResultPath = c.resultPath;
    const SignNames n = InitialSignNames(c.document, c.group, c.add, c.caller, s);
    EXPECT_EQ(n.embedded, c.expected.embedded) << c.what;
    EXPECT_EQ(n.detached, c.expected.detached) << c.what;
  }
}

TEST(SignDlgNames, TogglingKeepsTheTypedNameOfEachForm) {
  SignNames names{"/d/a.txt.sgn", "/d/a.txt.sga"};
  QString output;
  ApplyFormat(false, names, output);
  EXPECT_EQ(output, "/d/a.txt.sgn");
  output = "/d/mine.sgn";  // typed
  ApplyFormat(true, names, output);
  EXPECT_EQ(output, "/d/a.txt.sga");
  output = "/d/mine.sga";  // typed
  ApplyFormat(false, names, output);
  EXPECT_EQ(output, "/d/mine.sgn");
  ApplyFormat(true, names, output);
  EXPECT_EQ(output, "/d/mine.sga");
  EXPECT_EQ(OutputLabel(true), QStringLiteral("Имя архива c документом и подписями"));
  EXPECT_EQ(OutputLabel(true).at(11), QLatin1Char('c'));  // the Latin letter
  EXPECT_EQ(OutputLabel(false), QStringLiteral("Имя файла со встроенной подписью"));
}

// A shell that records what it was asked to open.
class RecordingShell : public ShellService {
 public:
  bool open(const std::string& path, std::string*, bool*) override {
    opened.push_back(path);
    return true;
  }
  std::vector<std::string> opened;
};

class SignDlgTest : public com_test::ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    std::filesystem::create_directories(dir_.toStdString() + "/docs");
    write_file("docs/a.txt", "document\n");
    log_options(1, 1, 0);
  }
  void entry(const std::string& name, const std::string& profile) {
    platform::reg::RegistryKey e;
    open_key(e, "\\Certificats\\Owner\\" + name);
    ASSERT_TRUE(e.SetString("Profile", profile));
    ASSERT_TRUE(e.SetString("Path", "/keys/" + name));
    ASSERT_TRUE(e.SetString("File", name + ".key"));
    ASSERT_TRUE(e.SetDword("SCZI", 1));
    ASSERT_TRUE(e.SetBinary("SerNum", name.data(), static_cast<std::uint32_t>(name.size())));
  }
  void executor(const std::string& name) {
    platform::reg::RegistryKey owner;
    open_key(owner, "\\Certificats\\Owner");
    ASSERT_TRUE(owner.SetString("Owner", name));
  }
  void log_options(std::uint32_t cert, std::uint32_t time, std::uint32_t sgn) {
    platform::reg::RegistryKey log;
    open_key(log, "\\Property\\Log");
    ASSERT_TRUE(log.SetDword("IsCert", cert));
    ASSERT_TRUE(log.SetDword("IsTime", time));
    ASSERT_TRUE(log.SetDword("IsSgn", sgn));
  }
  void directory() {
    entry("e1", "Петров");
    entry("e2", "Иванов");
    entry("e3", "Сидоров");
    executor("e1");
  }
  std::unique_ptr<CSignDlg> make(const SignRequest& request) {
    auto dlg = std::make_unique<CSignDlg>(SignDialogServices{&prompts_, &files_, &help_});
    dlg->setRequest(request);
    return dlg;
  }

  ScriptedPromptService prompts_;
  ScriptedFileDialogService files_;
  RecordingShell shell_;
  HelpService help_{shell_, DOSSAR_SOURCE_DIR "/docs/help"};
};

TEST_F(SignDlgTest, OneFileTextsNamesAndTheExecutorPreselected) {
  directory();
  log_options(1, 0, 0);
  const QString doc = path("docs/a.txt");
  auto dlg = make(SignRequest{doc, false, false, QString()});
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Подписать"));
  QStringList groups;
  for (QGroupBox* g : dlg->findChildren<QGroupBox*>()) groups << g->title();
  EXPECT_EQ(groups, (QStringList{" Документ для подписи ", " Автор подписи "}));
  EXPECT_EQ(dlg->certificateBox()->text(), QStringLiteral("Включить сертификат в подпись"));
  EXPECT_EQ(dlg->timeBox()->text(), QStringLiteral("Включить метку времени в подпись"));
  EXPECT_EQ(dlg->detachedBox()->text(), QStringLiteral("Сформировать отсоединенную подпись"));
  QStringList buttons;
  for (QPushButton* b : dlg->findChildren<QPushButton*>()) buttons << b->text();
  buttons.sort();
  EXPECT_EQ(buttons, (QStringList{"Отменить", "Подписать", "Просмотр", "Справка"}));
  // The options from Property\Log.
  EXPECT_TRUE(dlg->certificateBox()->isChecked());
  EXPECT_FALSE(dlg->timeBox()->isChecked());
  EXPECT_FALSE(dlg->detachedBox()->isChecked());
  EXPECT_EQ(dlg->documentEdit()->text(), doc);
  EXPECT_EQ(dlg->outputLabel()->text(), QStringLiteral("Имя файла со встроенной подписью"));
  EXPECT_EQ(dlg->outputEdit()->text(), doc + ".sgn");
  EXPECT_EQ(dlg->authorCombo()->currentText(), QStringLiteral("Петров"));
  EXPECT_EQ(dlg->authorCombo()->itemText(0), QStringLiteral("Иванов"));
  gui_test::expect_no_clipped_text(dlg.get());
  gui_test::screenshot(dlg.get(), "sign_dialog_one_file");

  // Ticking and unticking keeps what was typed for each form.
  dlg->detachedBox()->click();
  EXPECT_EQ(dlg->outputEdit()->text(), doc + ".sga");
  EXPECT_EQ(dlg->outputLabel()->text(), QStringLiteral("Имя архива c документом и подписями"));
  gui_test::expect_no_clipped_text(dlg.get());
  dlg->outputEdit()->setText(path("docs/typed.sga"));
  dlg->detachedBox()->click();
  EXPECT_EQ(dlg->outputEdit()->text(), doc + ".sgn");
  dlg->detachedBox()->click();
  EXPECT_EQ(dlg->outputEdit()->text(), path("docs/typed.sga"));

  // Another author, then Подписать: the answer.
  dlg->authorCombo()->setCurrentIndex(2);
  ASSERT_TRUE(dialog_test::click_button(dlg.get(), QStringLiteral("Подписать")));
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  const SignAnswer a = dlg->answer(true);
  EXPECT_TRUE(a.accepted);
  ASSERT_TRUE(a.author.has_value());
  EXPECT_EQ(a.author->name, "e3");
  EXPECT_EQ(a.author->profile, QStringLiteral("Сидоров"));
  EXPECT_EQ(a.author->sczi, 1u);
  EXPECT_EQ(a.outputName, path("docs/typed.sga"));
  EXPECT_TRUE(a.detached);
  EXPECT_TRUE(a.includeCertificate);
  EXPECT_FALSE(a.includeSigningTime);
  EXPECT_TRUE(prompts_.seen().empty());
}

TEST_F(SignDlgTest, GroupAndAddModes) {
  directory();
  {
    auto dlg = make(SignRequest{QStringLiteral("Групповая обработка"), true, false, QString()});
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    EXPECT_EQ(dlg->outputEdit()->text(), "*.sgn");
    EXPECT_FALSE(dlg->outputEdit()->isEnabled());
    EXPECT_FALSE(dlg->browseButton()->isEnabled());
    dlg->detachedBox()->click();
    EXPECT_EQ(dlg->outputEdit()->text(), "*.sga");
    gui_test::expect_no_clipped_text(dlg.get());
    gui_test::screenshot(dlg.get(), "sign_dialog_group");
  }
  // Add mode, with sorting into a result folder: the archive stays the name.
  platform::reg::RegistryKey sort;
  open_key(sort, "\\Sorting\\SGN");
  ASSERT_TRUE(sort.SetDword("Result", 1));
  ASSERT_TRUE(sort.SetString("ResultPath", path("docs").toStdString()));
  const QString archive = path("docs/a.txt.sga");
  write_file("docs/a.txt.sga", "archive");
  auto dlg = make(SignRequest{archive + " : a.txt", false, true, archive});
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Добавить подпись"));
  EXPECT_TRUE(dlg->detachedBox()->isChecked());
  EXPECT_FALSE(dlg->detachedBox()->isEnabled());
  EXPECT_FALSE(dlg->outputEdit()->isEnabled());
  EXPECT_EQ(dlg->outputEdit()->text(), archive);
  gui_test::expect_no_clipped_text(dlg.get());
  gui_test::screenshot(dlg.get(), "sign_dialog_add");
  ASSERT_TRUE(dialog_test::click_button(dlg.get(),
                                        QStringLiteral("Подписать")));  // the archive exists: no question in add mode
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_TRUE(prompts_.seen().empty()) << prompts_.seen().front().text.toStdString();
}

TEST_F(SignDlgTest, AnEmptyDirectoryGivesTheMessageAndCancel) {
  auto dlg = make(SignRequest{path("docs/a.txt"), false, false, QString()});
  int result = -1;
  QObject::connect(dlg.get(), &QDialog::finished, [&](int r) { result = r; });
  dlg->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return result != -1; }, 3000));
  EXPECT_EQ(result, QDialog::Rejected);
  ASSERT_EQ(prompts_.seen().size(), 1u);
  EXPECT_EQ(prompts_.seen()[0].text, QStringLiteral("Не определен  автор подписи в локальном справочнике!"));
  EXPECT_EQ(prompts_.seen()[0].flags, unsigned(MB_OK | MB_ICONSTOP));
  EXPECT_FALSE(dlg->answer(false).accepted);
}

TEST_F(SignDlgTest, ReplacementQuestionOnlyForAnotherExistingFile) {
  directory();
  write_file("docs/b.sgn", "signed already");
  // The document's own name: accepted without a question.
  {
    auto dlg = make(SignRequest{path("docs/b.sgn"), false, false, QString()});
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    EXPECT_EQ(dlg->outputEdit()->text(), path("docs/b.sgn"));
    ASSERT_TRUE(dialog_test::click_button(dlg.get(), QStringLiteral("Подписать")));
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_TRUE(prompts_.seen().empty());
  }
  // Another existing file: No keeps the dialog, Yes accepts.
  auto dlg = make(SignRequest{path("docs/a.txt"), false, false, QString()});
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  dlg->outputEdit()->setText(path("docs/b.sgn"));
  prompts_.queue(IDNO);
  ASSERT_TRUE(dialog_test::click_button(dlg.get(), QStringLiteral("Подписать")));
  EXPECT_TRUE(dlg->isVisible());
  prompts_.queue(IDYES);
  ASSERT_TRUE(dialog_test::click_button(dlg.get(), QStringLiteral("Подписать")));
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  ASSERT_EQ(prompts_.seen().size(), 2u);
  EXPECT_EQ(prompts_.seen()[0].text, QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?").arg(path("docs/b.sgn")));
  EXPECT_EQ(prompts_.seen()[0].flags, unsigned(MB_YESNO | MB_ICONQUESTION));
}

TEST_F(SignDlgTest, BrowseHelpAndView) {
  directory();
  auto dlg = make(SignRequest{path("docs/a.txt"), false, false, QString()});
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  files_.queue(path("docs/chosen.sgn"));
  QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
  EXPECT_EQ(dlg->outputEdit()->text(), path("docs/chosen.sgn"));
  dlg->detachedBox()->click();
  files_.queue(std::nullopt);
  QTest::mouseClick(dlg->browseButton(), Qt::LeftButton);
  ASSERT_EQ(files_.seen().size(), 2u);
  EXPECT_EQ(files_.seen()[0].filter, QStringLiteral("Встроенная подпись (*.sgn)|*.sgn||"));
  EXPECT_EQ(files_.seen()[0].initialPath, path("docs/a.txt.sgn"));
  EXPECT_EQ(files_.seen()[1].filter, QStringLiteral("Архив (*.sga)|*.sga||"));

  QTest::mouseClick(dlg->helpButton(), Qt::LeftButton);
  QTest::keyClick(dlg.get(), Qt::Key_F1);
  ASSERT_EQ(shell_.opened.size(), 2u);
  for (const std::string& p : shell_.opened) EXPECT_TRUE(p.ends_with("/topic-66.html")) << p;

  dialog_test::LibPath lib(FAKE_VIEWER_DIR);
  QTest::mouseClick(dlg->viewButton(), Qt::LeftButton);
  std::string bytes;
  EXPECT_EQ(dialog_test::recorded(FAKE_VIEWER_DIR, bytes), 1);
  EXPECT_EQ(bytes, "e1");  // the selected author's certificate
}

TEST_F(SignDlgTest, CheckAuthor) {
  std::optional<OwnerRecord> author;
  EXPECT_EQ(CheckAuthor(author), 10006);
  EXPECT_FALSE(author.has_value());
  ASSERT_EQ(ui_.messages().size(), 1u);
  EXPECT_EQ(ui_.messages()[0].text, QStringLiteral("Не определен  автор подписи в локальном справочнике!"));
  EXPECT_EQ(ui_.messages()[0].flags & MB_ICONMASK, unsigned(MB_ICONSTOP));
  directory();
  EXPECT_EQ(CheckAuthor(author), 0);
  ASSERT_TRUE(author.has_value());
  EXPECT_EQ(author->name, "e1");
  EXPECT_EQ(author->path, "/keys/e1");
  EXPECT_EQ(ui_.messages().size(), 1u);
}

}  // namespace
}  // namespace dsutils::widgets
