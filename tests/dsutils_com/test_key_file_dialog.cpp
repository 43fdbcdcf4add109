// The key-file dialog: its texts, the read-only medium folder, the key file
// typed or chosen through "...", OK and Cancel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "dsutils/widgets/file_dialog_service.h"
#include "dsutils/widgets/key_file_dialog.h"
#include "tests/dsutils_com/type_text.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

QFileDialog* open_file_dialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<QFileDialog*>(w); d != nullptr && d->isVisible()) return d;
  return nullptr;
}

TEST(KeyFileDialog, ShowsItsTextsAndTheMediumReadOnly) {
  ScriptedFileDialogService files;
  CKeyFileDlg dlg(files);
  dlg.setMediumFolder(QStringLiteral("/media/ключ/DB"));
  dlg.setKeyFile(QStringLiteral("/media/ключ/DB/keys/secret.key"));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Файл секретного ключа"));
  QStringList labels;
  for (QLabel* l : dlg.findChildren<QLabel*>()) labels << l->text();
  EXPECT_EQ(labels,
            (QStringList{QStringLiteral("Каталог ключевого носителя"), QStringLiteral("Файл секретного ключа")}));
  EXPECT_EQ(dlg.okButton()->text(), QStringLiteral("OK"));
  EXPECT_EQ(dlg.cancelButton()->text(), QStringLiteral("Отмена"));
  EXPECT_EQ(dlg.browseButton()->text(), QStringLiteral("..."));
  EXPECT_TRUE(dlg.mediumEdit()->isReadOnly());
  EXPECT_FALSE(dlg.keyFileEdit()->isReadOnly());
  EXPECT_EQ(dlg.mediumFolder(), QStringLiteral("/media/ключ/DB"));
  gui_test::screenshot(&dlg, "key_file_dialog_216");
  gui_test::expect_no_clipped_text(&dlg);

  // Typing into the medium folder changes nothing; the key file follows the field.
  testing::type_text(dlg.mediumEdit(), QStringLiteral("x"));
  EXPECT_EQ(dlg.mediumFolder(), QStringLiteral("/media/ключ/DB"));
  dlg.keyFileEdit()->clear();
  testing::type_text(dlg.keyFileEdit(), QStringLiteral("/tmp/другой.key"));
  EXPECT_EQ(dlg.keyFile(), QStringLiteral("/tmp/другой.key"));
}

// "..." asks with the key filter and the current name; a choice replaces the
// name, a cancelled choice keeps it.
TEST(KeyFileDialog, BrowseReplacesTheKeyFileOnlyWhenOneIsChosen) {
  ScriptedFileDialogService files;
  CKeyFileDlg dlg(files);
  dlg.setMediumFolder(QStringLiteral("/media/usb"));
  dlg.setKeyFile(QStringLiteral("/media/usb/old.key"));
  files.queue(QStringLiteral("/media/usb/keys/новый.key"));
  files.queue(std::nullopt);
  dlg.browseButton()->click();
  EXPECT_EQ(dlg.keyFile(), QStringLiteral("/media/usb/keys/новый.key"));
  dlg.browseButton()->click();
  EXPECT_EQ(dlg.keyFile(), QStringLiteral("/media/usb/keys/новый.key"));
  const auto seen = files.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].save);
  EXPECT_EQ(seen[0].filter, QStringLiteral("Секретный ключ (*.*)|*.*||"));
  EXPECT_EQ(seen[0].initialPath, QStringLiteral("/media/usb/old.key"));
  EXPECT_EQ(seen[1].initialPath, QStringLiteral("/media/usb/keys/новый.key"));
  EXPECT_TRUE(seen[0].defaultSuffix.isEmpty());
  EXPECT_TRUE(dlg.browseButton()->isEnabled());
  EXPECT_EQ(files.unexpected(), 0);
}

// The real file dialog: "all files" of the key filter includes names
// without a dot; closing it keeps the name.
TEST(KeyFileDialog, TheRealFileDialogOffersEveryFile) {
  QtFileDialogService files;
  CKeyFileDlg dlg(files);
  dlg.setKeyFile(QStringLiteral("/tmp/secret"));
  dlg.show();
  dlg.browseButton()->click();
  QFileDialog* chooser = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (chooser = open_file_dialog()) != nullptr; }, 3000));
  EXPECT_EQ(chooser->nameFilters(), QStringList{QStringLiteral("Секретный ключ (*)")});
  EXPECT_EQ(chooser->acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_FALSE(dlg.browseButton()->isEnabled());  // one chooser at a time
  chooser->reject();
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.browseButton()->isEnabled(); }, 2000));
  EXPECT_EQ(dlg.keyFile(), QStringLiteral("/tmp/secret"));
}

TEST(KeyFileDialog, OkAcceptsAndCancelRejects) {
  ScriptedFileDialogService files;
  struct Row {
    bool ok;
    int result;
  } rows[] = {{true, QDialog::Accepted}, {false, QDialog::Rejected}};
  for (const Row& row : rows) {
    CKeyFileDlg dlg(files);
    dlg.setKeyFile(QStringLiteral("/k"));
    dlg.open();
    (row.ok ? dlg.okButton() : dlg.cancelButton())->click();
    EXPECT_EQ(dlg.result(), row.result);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.keyFile(), QStringLiteral("/k"));
  }
}

}  // namespace
}  // namespace dsutils::widgets
