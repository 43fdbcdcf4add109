// EncryptGroup over the real toolkit and a scripted person: the sheet or the
// saved recipients, the questions, cancels and failures, each row ending
// with the sources whole and the working root empty.
#include <QDir>
#include <functional>

#include "tests/dsutils/operation_fixture.h"

namespace dsutils::testing {
namespace {

using platform::reg::RegistryKey;

std::string doc_text(const QString& name) { return testing::doc_text(name, 48 * 1024); }

class EncryptGroupTest : public OperationTest {
 protected:
  void SetUp() override {
    OperationTest::SetUp();
    install_directory(operation_pki());
  }
  QStringList make_docs(const QStringList& names) { return OperationTest::make_docs(names, 48 * 1024); }
  static EncryptAnswer sheet(const QString& out, const QStringList& recipients) {
    EncryptAnswer a;
    a.accepted = true;
    a.outputName = out;
    a.recipients = recipients;
    return a;
  }
  int steps_per_file() {
    static int steps = 0;
    if (steps > 0) return steps;
    write_file("probe.txt", doc_text("probe"));
    ScriptedUi ui;
    ui.queueEncrypt(sheet(path("probe.txt.enc"), {"61"}));
    OperationJob job;
    job.files << path("probe.txt");
    const OperationUiScope scope(&ui);
    EXPECT_EQ(EncryptGroup(&job), 1);
    EXPECT_EQ(job.result, kOpOk);
    steps = ui.progressSteps();
    return steps;
  }
};

TEST_F(EncryptGroupTest, EncryptGroupScriptedTable) {
  const int steps = steps_per_file();
  ASSERT_GE(steps, 2);
  struct Row {
    const char* what;
    QStringList names;
    std::function<void(ScriptedUi&)> script;
    std::function<void()> setup;
    bool automatic;
    int wantReturn;
    int wantResult;
    QStringList wantDocs;
    std::map<QString, int> encrypted;  // file -> recipients
    std::function<QString(const QStringList&)> lastBox;
  };
  const Row rows[] = {
      {"one file through the sheet, two recipients",
       {"a.txt"},
       [&](ScriptedUi& ui) {
         ui.queueEncrypt(sheet(path("docs/a.txt.enc"), {"61", "62"}));
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc"},
       {{"a.txt.enc", 2}},
       [&](const QStringList& f) {
         return QStringLiteral("\r\nФайл зашифрован!\r\n\r\nИсходный файл: \r\n%1\r\n\r\nЗашифрованный файл: \r\n%2")
             .arg(f[0], path("docs/a.txt.enc"));
       }},
      {"a group through the sheet",
       {"a.txt", "b.txt"},
       [&](ScriptedUi& ui) {
         ui.queueMessage(IDYES);
         ui.queueEncrypt(sheet(QString(), {"61"}));
       },
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc", "b.txt", "b.txt.enc"},
       {{"a.txt.enc", 1}, {"b.txt.enc", 1}},
       [](const QStringList&) {
         return QStringLiteral("\r\nОперация шифрования завершена!\r\n\r\nОбработано файлов: 2");
       }},
      {"the sheet cancelled: no failure",
       {"a.txt"},
       [](ScriptedUi&) {},
       nullptr,
       false,
       1,
       kOpOk,
       {"a.txt"},
       {},
       nullptr},
      {"the group question answered No",
       {"a.txt", "b.txt"},
       [](ScriptedUi& ui) { ui.queueMessage(IDNO); },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt", "b.txt"},
       {},
       nullptr},
      {"IsAuto with saved recipients: no sheet",
       {"a.txt"},
       [](ScriptedUi&) {},
       [&] {
         set_encrypt_settings(1, {"61", "62"});
       },
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc"},
       {{"a.txt.enc", 2}},
       nullptr},
      {"IsAuto without saved recipients: asked, Yes shows the sheet",
       {"a.txt"},
       [&](ScriptedUi& ui) {
         ui.queueMessage(IDYES);
         ui.queueEncrypt(sheet(path("docs/a.txt.enc"), {"62"}));
       },
       [&] { set_encrypt_settings(1, {}); },
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc"},
       {{"a.txt.enc", 1}},
       nullptr},
      {"automatic without saved recipients: 117",
       {"a.txt"},
       [](ScriptedUi&) {},
       [&] { set_encrypt_settings(0, {}); },
       true,
       0,
       kOpNoRecipients,
       {"a.txt"},
       {},
       [](const QStringList&) { return QString(); }},
      {"a saved recipient gone from the directory is left out",
       {"a.txt"},
       [](ScriptedUi&) {},
       [&] {
         set_encrypt_settings(0, {"99", "62"});
       },
       true,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc"},
       {{"a.txt.enc", 1}},
       [](const QStringList&) { return QString(); }},
      {"cancel during the second file: the first done, the second back, the third untouched",
       {"a.txt", "b.txt", "c.txt"},
       [&](ScriptedUi& ui) {
         ui.queueMessage(IDYES);
         ui.queueEncrypt(sheet(QString(), {"61"}));
         ui.cancelAtStep(steps + 1);
       },
       nullptr,
       false,
       0,
       kOpCancelled,
       {"a.txt", "a.txt.enc", "b.txt", "c.txt"},
       {{"a.txt.enc", 1}},
       [&](const QStringList&) { return error_text_loader().ErrorMessage(184); }},
      {"a CRL folder that fails to load: one box, every file encrypted",
       {"a.txt", "b.txt"},
       [&](ScriptedUi& ui) {
         ui.queueMessage(IDYES);
         ui.queueEncrypt(sheet(QString(), {"61"}));
       },
       [&] { write_file("crl/ca.crl", "not a CRL"); },
       false,
       1,
       kOpOk,
       {"a.txt", "a.txt.enc", "b.txt", "b.txt.enc"},
       {{"a.txt.enc", 1}, {"b.txt.enc", 1}},
       nullptr},
      {"key medium missing and its dialog cancelled",
       {"a.txt"},
       [&](ScriptedUi& ui) {
         ui.queueEncrypt(sheet(path("docs/a.txt.enc"), {"61"}));
         ui.queueKeyMedium(KeyMediumAnswer{});
       },
       [&] {
         RegistryKey e;
         open_key(e, "\\Certificats\\Owner\\exec");
         ASSERT_TRUE(e.SetString("Path", path("no-medium").toStdString()));
       },
       false,
       0,
       kOpKeyMediumCancelled,
       {"a.txt"},
       {},
       nullptr},
      {"empty list",
       {},
       [](ScriptedUi&) {},
       nullptr,
       false,
       0,
       kOpNoFiles,
       {},
       {},
       [](const QStringList&) { return QStringLiteral("Не выбраны файлы для шифрования!"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    QDir(docs()).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(docs()));
    install_directory(operation_pki());
    set_encrypt_settings(0, {});
    if (row.setup) row.setup();
    const QStringList files = make_docs(row.names);
    ScriptedUi operationUi;
    row.script(operationUi);
    OperationJob job;
    job.files = files;
    job.automatic = row.automatic;
    {
      const OperationUiScope scope(&operationUi);
      EXPECT_EQ(EncryptGroup(&job), row.wantReturn);
    }
    EXPECT_EQ(job.result, row.wantResult);
    EXPECT_EQ(QDir(docs()).entryList(QDir::Files, QDir::Name), row.wantDocs);
    for (const QString& n : row.names) EXPECT_TRUE(read_file(path("docs/" + n)) == doc_text(n)) << n.toStdString();
    for (const auto& [file, count] : row.encrypted)
      EXPECT_EQ(recipients_of(path("docs/" + file)), count) << file.toStdString();
    EXPECT_TRUE(work_root_entries().isEmpty());
    EXPECT_TRUE(ui_.calls().empty());
    EXPECT_FALSE(operationUi.progressShown());
    if (std::string(row.what).find("CRL") != std::string::npos) {
      int crlBoxes = 0;
      for (const auto& m : operationUi.messages())
        if ((m.flags & MB_ICONMASK) == MB_ICONEXCLAMATION) ++crlBoxes;
      EXPECT_EQ(crlBoxes, 1);
    }
    if (row.lastBox) {
      const QString want = row.lastBox(files);
      if (want.isEmpty()) {
        EXPECT_TRUE(operationUi.messages().empty());
      } else {
        ASSERT_FALSE(operationUi.messages().empty());
        EXPECT_EQ(operationUi.messages().back().text, want);
      }
    }
  }
}

// Where the encrypted files and the sources go, over the same rows as
// SignGroup's sorting table.
TEST_F(EncryptGroupTest, EncryptGroupSortingTable) {
  const QStringList names{"a.txt", "b.txt"};
  for (const SortingCase& row : sorting_cases()) {
    SCOPED_TRACE(row.what());
    prepare_sorting(row, QStringLiteral("ENC"), operation_pki());
    plant_old_files(row, {"a.txt.enc", "b.txt.enc"}, names);
    const QStringList files = make_docs(names);
    ScriptedUi operationUi;
    operationUi.queueMessage(IDYES);
    operationUi.queueEncrypt(sheet(QString(), {"61"}));
    OperationJob job;
    job.files = files;
    {
      const OperationUiScope scope(&operationUi);
      ASSERT_EQ(EncryptGroup(&job), 1);
    }
    EXPECT_EQ(job.result, kOpOk);
    for (const QString& n : names)
      check_group_file(row, n, doc_text(n), ".enc",
                       [](const QString& file, const std::string&) { return recipients_of(file) == 1; });
    EXPECT_TRUE(work_root_entries().isEmpty());
    EXPECT_TRUE(ui_.calls().empty());
  }
}

}  // namespace
}  // namespace dsutils::testing
