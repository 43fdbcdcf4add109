// The encrypt and sign pages: their default names under the "ENC" sorting
// settings, the detached box's renaming, and their validations with the
// boxes answered by a scripted prompt service. The settings live in a
// scratch registry.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "dsutils/engine/engine_helper.h"
#include "dsutils/widgets/encrypt_pages.h"
#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/prompt_service.h"
#include "platform/registry/registry_key.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using platform::reg::HKEY_CURRENT_USER;
using platform::reg::RegistryKey;

const QString kReplace = QStringLiteral("Файл уже существует: \n %1\n\nЗаменить?");

class Pages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    qputenv("DOSSAR_REGISTRY_DB", (dir_.path() + "/registry.db").toUtf8());
    qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
  }
  void TearDown() override {
    qunsetenv("DOSSAR_REGISTRY_DB");
    qunsetenv("XDG_CONFIG_HOME");
  }
  void set_enc(std::uint32_t result, const QString& path, std::uint32_t errorExist = 0) {
    RegistryKey key;
    ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, std::string(kProductKey) + "\\Sorting\\ENC"));
    ASSERT_TRUE(key.SetDword("Result", result));
    ASSERT_TRUE(key.SetString("ResultPath", path.toStdString()));
    ASSERT_TRUE(key.SetDword("ErrorExist", errorExist));
  }
  void set_log(std::uint32_t cert, std::uint32_t time, std::uint32_t sgn) {
    RegistryKey key;
    ASSERT_TRUE(key.CreateKey(HKEY_CURRENT_USER, std::string(kProductKey) + "\\Property\\Log"));
    ASSERT_TRUE(key.SetDword("IsCert", cert));
    ASSERT_TRUE(key.SetDword("IsTime", time));
    ASSERT_TRUE(key.SetDword("IsSgn", sgn));
  }
  QString touch(const QString& name) {
    const QString p = dir_.path() + "/" + name;
    QFile f(p);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    return p;
  }
  static std::vector<QString> texts(const ScriptedPromptService& prompts) {
    std::vector<QString> out;
    for (const auto& seen : prompts.seen()) out.push_back(seen.text);
    return out;
  }

  QTemporaryDir dir_;
  ScriptedPromptService prompts_;
  ScriptedFileDialogService files_;
};

// One author the way the directory's filler lists them.
AuthorListFiller one_author(const QString& name) {
  return [name](QComboBox& combo, std::vector<OwnerRecord>& authors) {
    OwnerRecord r;
    r.name = name;
    r.profile = QStringLiteral("Исполнитель");
    r.serNum = QByteArray("der");
    authors.push_back(r);
    combo.addItem(r.profile, 0);
    combo.setCurrentIndex(0);
  };
}

TEST_F(Pages, EncryptFilePageNames) {
  struct Case {
    const char* name;
    bool group;
    std::uint32_t result;
    const char* input;
    const char* output;
  };
  const Case cases[] = {
      {"one file beside it", false, 0, "/d/doc.txt", "/d/doc.txt.enc"},
      {"one file into the result folder", false, 1, "/d/doc.txt", "/r/out/doc.txt.enc"},
      {"group", true, 0, "Групповая обработка", "*.enc"},
      {"group into the result folder", true, 1, "Групповая обработка", "/r/out/*.enc"},
      {"no input", false, 0, "", ""},
  };
  SortSettings enc;
  enc.ResultPath = QStringLiteral("/r/out");
  for (const Case& c : cases) {
    enc.Result = c.result;
    EXPECT_EQ(encrypt_page_output(QString::fromUtf8(c.input), c.group, enc), QString::fromUtf8(c.output)) << c.name;
  }
  // The page reads the settings itself.
  set_enc(1, QStringLiteral("/r/out"));
  CEncryptFilePage page(prompts_, files_);
  page.setInput(QStringLiteral("/d/doc.txt"));
  page.initPage();
  EXPECT_EQ(page.outputEdit()->text(), QStringLiteral("/r/out/doc.txt.enc"));
  EXPECT_EQ(page.inputEdit()->text(), QStringLiteral("/d/doc.txt"));
  EXPECT_TRUE(page.outputEdit()->isEnabled());

  CEncryptFilePage group(prompts_, files_);
  group.setGroup(true);
  group.setInput(QStringLiteral("Групповая обработка"));
  group.initPage();
  EXPECT_EQ(group.outputName(), QStringLiteral("/r/out/*.enc"));
  EXPECT_FALSE(group.inputEdit()->isEnabled());
  EXPECT_FALSE(group.outputEdit()->isEnabled());
  EXPECT_FALSE(group.browseButton()->isEnabled());
}

TEST_F(Pages, EncryptFilePageTypedNameReachesTheMemberAtOnce) {
  CEncryptFilePage page(prompts_, files_);
  page.setInput(QStringLiteral("/d/a"));
  page.initPage();
  page.outputEdit()->clear();
  QTest::keyClicks(page.outputEdit(), QStringLiteral("/d/typed.enc"));
  EXPECT_EQ(page.outputName(), QStringLiteral("/d/typed.enc"));
  page.outputEdit()->setText(QStringLiteral("/d/выход.enc"));
  EXPECT_EQ(page.outputName(), QStringLiteral("/d/выход.enc"));
}

TEST_F(Pages, EncryptFilePageBrowse) {
  CEncryptFilePage page(prompts_, files_);
  page.setInput(QStringLiteral("/d/a"));
  page.initPage();
  files_.queue(QStringLiteral("/e/chosen.enc"));
  QTest::mouseClick(page.browseButton(), Qt::LeftButton);
  ASSERT_EQ(files_.seen().size(), 1u);
  EXPECT_EQ(files_.seen()[0].filter, QStringLiteral("Зашифрованные файлы(*.enc)|*.enc||"));
  EXPECT_EQ(files_.seen()[0].initialPath, QStringLiteral("/d/a.enc"));
  EXPECT_EQ(files_.seen()[0].defaultSuffix, QStringLiteral("enc"));
  EXPECT_EQ(page.outputName(), QStringLiteral("/e/chosen.enc"));
  EXPECT_EQ(page.outputEdit()->text(), QStringLiteral("/e/chosen.enc"));
}

TEST_F(Pages, EncryptFilePageValidation) {
  const QString existing = touch(QStringLiteral("exists.enc"));
  const QString input = touch(QStringLiteral("doc"));
  struct Case {
    const char* name;
    bool group;
    QString output;
    std::vector<int> answers;
    bool accepts;
    std::vector<QString> boxes;
  };
  const Case cases[] = {
      {"empty name",
       false,
       QString(),
       {IDOK},
       false,
       {QStringLiteral("Не задано имя файла с зашифрованными данными!")}},
      {"new file", false, dir_.path() + "/new.enc", {}, true, {}},
      {"output equal to the input", false, input, {}, true, {}},
      {"existing, No", false, existing, {IDNO}, false, {kReplace.arg(existing)}},
      {"existing, Yes", false, existing, {IDYES}, true, {kReplace.arg(existing)}},
      {"group", true, QString(), {}, true, {}},
  };
  for (const Case& c : cases) {
    ScriptedPromptService prompts;
    for (int a : c.answers) prompts.queue(a);
    CEncryptFilePage page(prompts, files_);
    page.setGroup(c.group);
    page.setInput(input);
    page.initPage();
    page.outputEdit()->setText(c.output);
    bool accepted = !c.accepts;
    EXPECT_TRUE(page.command(ID_PAGE_VALIDATE, &accepted)) << c.name;
    EXPECT_EQ(accepted, c.accepts) << c.name;
    EXPECT_EQ(texts(prompts), c.boxes) << c.name;
    EXPECT_EQ(prompts.unexpected(), 0) << c.name;
    for (const auto& seen : prompts.seen()) {
      EXPECT_EQ(seen.flags, seen.text.startsWith(QStringLiteral("Файл")) ? unsigned{MB_YESNO | MB_ICONQUESTION}
                                                                         : unsigned{MB_OK | MB_ICONSTOP})
          << c.name;
    }
  }
}

TEST_F(Pages, SignPageNames) {
  struct Case {
    const char* name;
    bool group;
    bool detached;
    std::uint32_t result;
    std::uint32_t errorExist;
    const char* document;
    const char* output;
  };
  const QString out = dir_.path() + "/out";
  QDir().mkpath(out);
  touch(QStringLiteral("out/doc.txt.sgn.enc"));
  const std::string o = out.toStdString();
  const Case cases[] = {
      {"embedded beside", false, false, 0, 0, "/d/doc.txt", "/d/doc.txt.sgn.enc"},
      {"detached beside", false, true, 0, 0, "/d/doc.txt", "/d/doc.txt.sga.enc"},
      {"into the result folder", false, false, 1, 0, "/d/doc.txt", "@/doc.txt.sgn.enc"},
      {"ErrorExist 1 gives a free name", false, false, 1, 1, "/d/doc.txt", "free:@/doc.txt.sgn.enc"},
      {"ErrorExist 1, no file there yet", false, true, 1, 1, "/d/doc.txt", "@/doc.txt.sga.enc"},
      {"ErrorExist 1 beside the input: no free name", false, false, 0, 1, "/d/doc.txt", "/d/doc.txt.sgn.enc"},
      {"group embedded", true, false, 0, 0, "Групповая обработка", "*.sgn.enc"},
      {"group detached in the folder", true, true, 1, 0, "Групповая обработка", "@/*.sga.enc"},
  };
  for (const Case& c : cases) {
    set_enc(c.result, out, c.errorExist);
    set_log(1, 0, c.detached ? 1 : 0);
    CSignPage page(prompts_);
    page.setGroup(c.group);
    page.setDocument(QString::fromUtf8(c.document));
    page.initPage();
    QString want = QString::fromUtf8(c.output).replace(QLatin1Char('@'), out);
    if (want.startsWith(QStringLiteral("free:"))) {
      // The engine's free name for the one already there: a "[n]" in it.
      const QString taken = want.mid(5);
      want = GetUnicalName(taken);
      EXPECT_NE(want, taken) << c.name;
      EXPECT_TRUE(want.contains(QStringLiteral("[1]"))) << c.name;
    }
    EXPECT_EQ(page.outputName().toStdString(), want.toStdString()) << c.name;
    EXPECT_EQ(page.outputEdit()->text(), want) << c.name;
    EXPECT_EQ(page.detachedBox()->isChecked(), c.detached) << c.name;
    EXPECT_TRUE(page.certificateBox()->isChecked()) << c.name;
    EXPECT_FALSE(page.timeBox()->isChecked()) << c.name;
    EXPECT_EQ(page.outputEdit()->isEnabled(), !c.group) << c.name;
    EXPECT_EQ(page.documentEdit()->isEnabled(), !c.group) << c.name;
    EXPECT_EQ(page.browseButton()->isEnabled(), !c.group) << c.name;
  }
}

TEST_F(Pages, SignPageDetachedBoxRenames) {
  struct Case {
    const char* typed;
    const char* ticked;    // after ticking
    const char* unticked;  // after clearing again
  };
  const Case cases[] = {
      {"/d/a.txt.sgn.enc", "/d/a.txt.sga.enc", "/d/a.txt.sgn.enc"},
      {"/d/a.sga.enc", "/d/a.sga.enc", "/d/a.sgn.enc"},
      {"/d/typed.bin", "/d/typed.bin", "/d/typed.bin"},
      {"/d/typed.enc", "/d/typed.enc", "/d/typed.enc"},
      {"/d/typed.sgn", "/d/typed.sgn", "/d/typed.sgn"},
  };
  set_log(0, 0, 0);
  for (const Case& c : cases) {
    EXPECT_EQ(sign_page_format_change(QString::fromUtf8(c.typed), true), QString::fromUtf8(c.ticked)) << c.typed;
    CSignPage page(prompts_);
    page.setDocument(QStringLiteral("/d/a.txt"));
    page.initPage();
    page.outputEdit()->setText(QString::fromUtf8(c.typed));
    QTest::mouseClick(page.detachedBox(), Qt::LeftButton);
    EXPECT_TRUE(page.detachedBox()->isChecked());
    EXPECT_EQ(page.outputEdit()->text(), QString::fromUtf8(c.ticked)) << c.typed;
    QTest::mouseClick(page.detachedBox(), Qt::LeftButton);
    EXPECT_EQ(page.outputEdit()->text(), QString::fromUtf8(c.unticked)) << c.typed;
  }
}

TEST_F(Pages, SignPageValidation) {
  const QString existing = touch(QStringLiteral("exists.sgn.enc"));
  struct Case {
    const char* name;
    bool author;
    bool group;
    QString output;
    std::vector<int> answers;
    bool accepts;
    std::vector<QString> boxes;
  };
  const Case cases[] = {
      {"no author",
       false,
       false,
       dir_.path() + "/n.sgn.enc",
       {IDOK},
       false,
       {QStringLiteral("Не задан  автор подписи!")}},
      {"no author in a group", false, true, QString(), {IDOK}, false, {QStringLiteral("Не задан  автор подписи!")}},
      {"new file", true, false, dir_.path() + "/n.sgn.enc", {}, true, {}},
      {"existing, No", true, false, existing, {IDNO}, false, {kReplace.arg(existing)}},
      {"existing, Yes", true, false, existing, {IDYES}, true, {kReplace.arg(existing)}},
      {"output equal to the document", true, false, existing, {}, true, {}},
      {"group", true, true, QString(), {}, true, {}},
  };
  for (const Case& c : cases) {
    ScriptedPromptService prompts;
    for (int a : c.answers) prompts.queue(a);
    CSignPage page(prompts);
    if (c.author) page.setAuthorFiller(one_author(QStringLiteral("0A1B")));
    page.setGroup(c.group);
    const bool sameAsDocument = QString::fromUtf8(c.name).contains(QStringLiteral("equal"));
    page.setDocument(sameAsDocument ? existing : dir_.path() + "/doc");
    page.initPage();
    if (!c.group) page.outputEdit()->setText(c.output);
    bool accepted = !c.accepts;
    page.command(ID_PAGE_VALIDATE, &accepted);
    EXPECT_EQ(accepted, c.accepts) << c.name;
    EXPECT_EQ(texts(prompts), c.boxes) << c.name;
    EXPECT_EQ(prompts.unexpected(), 0) << c.name;
    EXPECT_EQ(page.author().has_value(), c.author) << c.name;
    if (c.author) {
      EXPECT_EQ(page.author()->name, QStringLiteral("0A1B")) << c.name;
    }
  }
}

TEST_F(Pages, SignPageBrowseButtonDoesNothing) {
  CSignPage page(prompts_);
  page.setDocument(QStringLiteral("/d/a"));
  page.initPage();
  const QString before = page.outputName();
  QTest::mouseClick(page.browseButton(), Qt::LeftButton);
  EXPECT_EQ(page.outputName(), before);
  EXPECT_TRUE(prompts_.seen().empty());
}

TEST_F(Pages, SignPageViewShowsTheChosenAuthorsCertificate) {
  CSignPage page(prompts_);
  page.setAuthorFiller(one_author(QStringLiteral("0A")));
  QByteArray shown;
  page.setViewer([&shown](const QByteArray& der) { shown = der; });
  page.initPage();
  page.OnViewCertificate();
  EXPECT_EQ(shown, QByteArray("der"));
}

}  // namespace
}  // namespace dsutils::widgets
