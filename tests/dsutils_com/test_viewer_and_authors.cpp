// The certificate viewer's loader (a fake viewer that records, none, one
// without its export, and the stand-in's window) and the author list shared
// by the sign dialog and the sign page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QTest>

#include "crypto/cclib/ossl_owners.h"
#include "dsutils/widgets/author_list.h"
#include "dsutils/widgets/certificate_viewer_loader.h"
#include "platform/dynlib.h"
#include "tests/dsutils_com/com_test_util.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gost_pki.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dialog_test::LibPath;

using dialog_test::recorded;

TEST(ViewerLoader, HandsTheBytesToTheViewerFoundByName) {
  LibPath lib(FAKE_VIEWER_DIR);
  CertificateViewerLoader loader;
  ASSERT_TRUE(loader.available());
  const QByteArray der("\x30\x03\x02\x01\x05", 5);
  loader.ShowBuffer(der);
  loader.ShowBuffer(QByteArray());  // nothing to show: not handed on
  std::string bytes;
  EXPECT_EQ(recorded(FAKE_VIEWER_DIR, bytes), 1);
  EXPECT_EQ(bytes, der.toStdString());
}

TEST(ViewerLoader, WithoutTheLibraryOrItsExportNothingHappens) {
  for (const char* dir : {EMPTY_DIR, FAKE_VIEWER_NOEXPORT_DIR}) {
    LibPath lib(dir);
    CertificateViewerLoader loader;
    EXPECT_FALSE(loader.available()) << dir;
    loader.ShowBuffer(QByteArray("\x30\x00", 2));  // must not crash or show anything
  }
  std::string bytes;
  EXPECT_EQ(recorded(FAKE_VIEWER_NOEXPORT_DIR, bytes), 0);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
}

TEST(ViewerLoader, TheStandInShowsTheCertificateFields) {
  LibPath lib(STANDIN_DIR);
  CertificateViewerLoader loader;
  ASSERT_TRUE(loader.available());
  qcrypto::UniquePtr<EVP_PKEY> key(test_support::pki_new_key(test_support::PkiKeyType::kRsa));
  ASSERT_TRUE(key);
  test_support::PkiCertSpec spec;
  spec.common_name = "Viewer Test";
  spec.serial = 0x1234;
  qcrypto::UniquePtr<X509> cert(test_support::pki_make_cert(key.get(), spec, nullptr, key.get()));
  ASSERT_TRUE(cert);
  const std::vector<unsigned char> der = test_support::to_der(cert.get());
  loader.ShowBuffer(der.data(), static_cast<qsizetype>(der.size()));
  QDialog* viewer = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("DSCertificatsViewer") && w->isVisible()) viewer = qobject_cast<QDialog*>(w);
  ASSERT_NE(viewer, nullptr);
  QApplication::processEvents();
  EXPECT_TRUE(viewer->findChild<QLabel*>(QStringLiteral("subject"))->text().contains(QLatin1String("Viewer Test")));
  EXPECT_EQ(viewer->findChild<QLabel*>(QStringLiteral("serial"))->text(), QLatin1String("1234"));
  EXPECT_FALSE(viewer->findChild<QLabel*>(QStringLiteral("notAfter"))->text().isEmpty());
  gui_test::expect_no_clipped_text(viewer);
  gui_test::screenshot(viewer, "certificate_viewer_standin");
  QPointer<QDialog> gone(viewer);
  viewer->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return gone.isNull(); }, 2000));
}

class AuthorList : public com_test::ScratchTest {
 protected:
  void entry(const std::string& name, const std::string& profile, bool readable = true) {
    platform::reg::RegistryKey e;
    open_key(e, "\\Certificats\\Owner\\" + name);
    ASSERT_TRUE(e.SetString("Profile", profile));
    ASSERT_TRUE(e.SetString("Path", "/keys/" + name));
    ASSERT_TRUE(e.SetString("File", name + ".key"));
    ASSERT_TRUE(e.SetDword("SCZI", 0));
    if (readable) {
      ASSERT_TRUE(e.SetBinary("SerNum", name.data(), static_cast<std::uint32_t>(name.size())));
    }
  }
  void executor(const std::string& name) {
    platform::reg::RegistryKey owner;
    open_key(owner, "\\Certificats\\Owner");
    ASSERT_TRUE(owner.SetString("Owner", name));
  }
};

TEST_F(AuthorList, EntriesInStoreOrderSortedByProfileWithTheExecutorSelected) {
  entry("b", "Борисов");
  entry("a", "яковлев");
  entry("c", "Алексеев");
  entry("d", "broken", false);  // no certificate: dropped
  executor("a");
  QString name;
  QStringList names;
  for (std::uint32_t i = 0; engine_helper().EnumOwnerEntry(i, name); ++i) names << name;
  EXPECT_EQ(names, (QStringList{"a", "b", "c", "d"}));

  QComboBox combo;
  std::vector<OwnerRecord> authors;
  const int selected = FillAuthorList(combo, authors);
  ASSERT_EQ(authors.size(), 3u);
  EXPECT_EQ(authors[0].name, "a");  // reading order
  EXPECT_EQ(authors[1].name, "b");
  EXPECT_EQ(authors[2].name, "c");
  ASSERT_EQ(combo.count(), 3);
  EXPECT_EQ(combo.itemText(0), QStringLiteral("Алексеев"));
  EXPECT_EQ(combo.itemText(1), QStringLiteral("Борисов"));
  EXPECT_EQ(combo.itemText(2), QStringLiteral("яковлев"));
  EXPECT_EQ(selected, 2);
  EXPECT_EQ(combo.currentIndex(), 2);
  const OwnerRecord* chosen = SelectedAuthor(combo, authors);
  ASSERT_NE(chosen, nullptr);
  EXPECT_EQ(chosen->name, "a");
  EXPECT_EQ(chosen->path, "/keys/a");
  EXPECT_EQ(chosen->serNum, QByteArray("a"));
}

TEST_F(AuthorList, NoExecutorSelectsNothingAndNoDirectoryGivesAnEmptyList) {
  QComboBox combo;
  std::vector<OwnerRecord> authors;
  EXPECT_EQ(FillAuthorList(combo, authors), -1);
  EXPECT_EQ(combo.count(), 0);
  EXPECT_EQ(SelectedAuthor(combo, authors), nullptr);

  entry("x", "X");
  executor("gone");
  EXPECT_EQ(FillAuthorList(combo, authors), -1);
  EXPECT_EQ(combo.count(), 1);
  EXPECT_EQ(combo.currentIndex(), -1);
  EXPECT_EQ(SelectedAuthor(combo, authors), nullptr);
}

}  // namespace
}  // namespace dsutils::widgets
