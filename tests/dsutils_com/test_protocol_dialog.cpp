// The verification protocol window: its texts as tables over fixture
// records, the window over real certificates described by the real toolkit,
// and its screenshot.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <map>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/widgets/prompt_service.h"
#include "dsutils/widgets/verify_protocol_dialog.h"
#include "tests/dsutils/unpack_fixture.h"
#include "tests/dsutils_com/dialog_test_util.h"
#include "tests/support/gui_test.h"

namespace dsutils::widgets {
namespace {

using dsutils::testing::bytes;
using dsutils::testing::UnpackFixture;

const QString kDashes = QString(79, QLatin1Char('-')) + QStringLiteral("\r\n");

// Describes two fixed certificates by their bytes; anything else is undecodable.
class FixedDescriber : public DirectoryCryptoSession {
 public:
  int Open() override { return 0; }
  int Close() override { return 0; }
  int GetCertificateInfo(const QByteArray& certificate, CertificateInfo& info) override {
    auto it = known.find(certificate);
    if (it == known.end()) return kToolkitUndecodable;
    info = it->second;
    return kToolkitOk;
  }
  std::map<QByteArray, CertificateInfo> known;
};

FixedDescriber& describer() {
  static FixedDescriber* d = [] {
    auto* f = new FixedDescriber();
    CertificateInfo ivanov;
    ivanov.serial = "0A";
    ivanov.notBefore = "01.02.2024 10:00:00";
    ivanov.notAfter = "01.02.2026 10:00:00";
    ivanov.subject.CN = "Ivanov";
    ivanov.subject.T = "Director";
    ivanov.subject.O = "Orvanta";
    f->known.emplace(QByteArray("cert-ivanov"), ivanov);
    return f;
  }();
  return *d;
}

SignatureRecord record(int status, int code, int flag, const QString& time = QStringLiteral("12.03.2025 09:15:00")) {
  SignatureRecord r;
  r.signingTime = time;
  r.serial = QStringLiteral("0A");
  r.signerName = QStringLiteral("/CN=Ivanov/O=Orvanta");
  r.certificate = QByteArray("cert-ivanov");
  r.certificateLength = static_cast<int>(r.certificate.size());
  r.issuer.C = "RU";
  r.issuer.O = "Test";
  r.issuer.CN = "Test CA";
  r.status = status;
  r.resultCode = code;
  r.source = kSourceLocal;
  r.signerFlag = flag;
  r.fileName = QStringLiteral("/work/docs/report.doc.sgn");
  return r;
}

class ProtocolTexts : public UnpackFixture {};

TEST_F(ProtocolTexts, FormatSignatureTable) {
  const QString attrs = QStringLiteral(" Атрибуты сертификата  автора подписи:\r\n    серийный номер - 0A\r\n");
  const QString validity = QStringLiteral(
      "    начало периода действия - 01.02.2024 10:00:00 по Гринвичу\r\n"
      "    конец  периода действия - 01.02.2026 10:00:00 по Гринвичу\r\n");
  const QString owner = QStringLiteral(
      "    издатель сертификата - /C=RU/O=Test/CN=Test CA\r\n    полное имя владельца - /CN=Ivanov/O=Orvanta\r\n");
  struct Case {
    const char* what;
    SignatureRecord r;
    QString dialogFile;
    bool separated;
    QString expected;
  };
  SignatureRecord unreadable = record(kSignatureConfirmed, 0, 1, QString());
  unreadable.certificate = "garbage";
  SignatureRecord ldap = record(kSignatureConfirmed, 0, 1);
  ldap.source = kSourceLdap;
  SignatureRecord embedded = record(kSignerFailed, 7, 1);
  embedded.source = kSourceEmbedded;
  SignatureRecord unknownSource = record(kSignatureConfirmed, 0, 1);
  unknownSource.source = 9;
  ldap_settings("ldap.orvanta.test", "1389");
  const Case cases[] = {
      {"status 0", record(0, 0, 1), "/work/docs/report.doc.sgn", false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n Местонахождение подписи: "
                      "report.doc.sgn\r\n Тип подписи: встроена в подписанный документ\r\n Дата формирования подписи: "
                      "12.03.2025 09:15:00\r\n") +
           attrs + owner + validity + QStringLiteral("    источник сертификата - локальный справочник\r\n")},
      {"status 0 separated", record(0, 0, 1), "/work/docs/report.doc.sgn", true,
       QStringLiteral(" Подпись №3\r\n \r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n \r\n Местонахождение подписи: "
                      "report.doc.sgn\r\n \r\n Тип подписи: встроена в подписанный документ\r\n Дата формирования "
                      "подписи: 12.03.2025 09:15:00\r\n \r\n") +
           attrs + owner + validity + QStringLiteral("    источник сертификата - локальный справочник\r\n \r\n") +
           kDashes},
      {"status 1, embedded certificate", embedded, "/work/docs/report.doc.sgn", false, {}},
      {"status 3 of a detached file", record(kMessageFailed, 7, 0), "/work/docs/report.doc.sga : report.doc", false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: НЕВЕРНАЯ ПОДПИСЬ СЕРТИФИКАТА\r\n Местонахождение подписи: "
                      "report.doc.sgn (из архива report.doc.sga) \r\n Тип подписи : отсоединена от документа\r\n Дата "
                      "формирования подписи: 12.03.2025 09:15:00\r\n") +
           attrs + QStringLiteral("    издатель сертификата - /C=RU/O=Test/CN=Test CA\r\n")},
      {"status 4", record(kSignatureNotFound, -1, 0), "/work/docs/a.sga : a.doc", true,
       QStringLiteral(
           " Подпись №3\r\n \r\n Результат проверки: ПОДПИСЬ НЕ ОБНАРУЖЕНА\r\n \r\n Местонахождение подписи: "
           "report.doc.sgn (из архива a.sga) \r\n \r\n") +
           kDashes},
      {"another status", record(2, 5, 1), "/work/docs/report.doc.sgn", false, QStringLiteral("")},
      {"another status separated", record(2, 5, 1), "/work/docs/report.doc.sgn", true, kDashes},
      {"no readable certificate, no signing time", unreadable, "/work/docs/report.doc.sgn", false,
       QStringLiteral(" Подпись №3\r\n Результат проверки: ПОДПИСЬ ПОДТВЕРЖДЕНА\r\n Местонахождение подписи: "
                      "report.doc.sgn\r\n Тип подписи: встроена в подписанный документ\r\n Дата формирования подписи: "
                      "не указана\r\n") +
           attrs + owner +
           QStringLiteral("    начало периода действия - \r\n    конец  периода действия - \r\n    источник "
                          "сертификата - локальный справочник\r\n")},
      {"LDAP source from the settings", ldap, "/work/docs/report.doc.sgn", false, {}},
      {"a source of no kind", unknownSource, "/work/docs/report.doc.sgn", false, {}},
  };
  for (const Case& c : cases) {
    const QString text = FormatProtocolSignature(c.dialogFile, c.r, 3, c.separated, &describer());
    if (!c.expected.isNull()) {
      EXPECT_EQ(text, c.expected) << c.what;
    }
  }
  // The blocks checked by their distinguishing lines.
  const QString failed = FormatProtocolSignature("/d/x.sgn", embedded, 1, false, &describer());
  EXPECT_TRUE(failed.startsWith(QStringLiteral(" Подпись №1\r\n Результат проверки: НЕВЕРНАЯ ПОДПИСЬ СЕРТИФИКАТА\r\n")))
      << failed.toStdString();
  EXPECT_TRUE(failed.contains(QStringLiteral(" Тип подписи : встроена в подписанный документ\r\n")))
      << failed.toStdString();
  EXPECT_TRUE(failed.endsWith(QStringLiteral("    источник сертификата - встроен в подписанный документ\r\n")))
      << failed.toStdString();
  EXPECT_TRUE(FormatProtocolSignature("/d/x.sgn", ldap, 1, false, &describer())
                  .endsWith(QStringLiteral("    источник сертификата - сервер LDAP ldap.orvanta.test:1389\r\n")));
  EXPECT_TRUE(FormatProtocolSignature("/d/x.sgn", unknownSource, 1, false, &describer())
                  .endsWith(QStringLiteral("    источник сертификата - \r\n")));
}

TEST_F(ProtocolTexts, RowsImagesAndSummaryLines) {
  struct Case {
    const char* what;
    SignatureRecord r;
    QStringList cells;
    int image;
  };
  SignatureRecord unreadable = record(kSignerFailed, 7, 1, QString());
  unreadable.certificate.clear();
  const Case cases[] = {
      {"confirmed",
       record(0, 0, 1),
       {"4", "Ivanov", "0A", "Test CA", "12.03.2025 09:15:00", "Подпись подтверждена"},
       0},
      {"failed signer",
       record(1, 7, 1),
       {"4", "Ivanov", "0A", "Test CA", "12.03.2025 09:15:00", "Неверная подпись сертификата"},
       1},
      {"failed message, detached",
       record(3, 7, 0),
       {"4", "Ivanov", "0A", "Test CA", "12.03.2025 09:15:00", "Неверная подпись сертификата"},
       7},
      {"confirmed, detached",
       record(0, 0, 0),
       {"4", "Ivanov", "0A", "Test CA", "12.03.2025 09:15:00", "Подпись подтверждена"},
       4},
      {"not found", record(4, -1, 0, QString()), {"4", "", "", "", "не указана", "Подпись не обнаружена"}, 8},
      {"no certificate, no time", unreadable, {"4", "", "", "", "не указана", "Неверная подпись сертификата"}, 1},
  };
  for (const Case& c : cases) {
    SignatureRecord r = c.r;
    EXPECT_EQ(ProtocolRowCells(3, r, &describer()), c.cells) << c.what;
    EXPECT_EQ(ProtocolRowImage(r), c.image) << c.what;
    EXPECT_FALSE(r.signingTime.isEmpty()) << c.what << ": the record keeps what the row shows";
  }
  EXPECT_EQ(protocol_images().size(), kProtocolImageCount);
  for (const QPixmap& p : protocol_images()) EXPECT_EQ(p.size(), QSize(16, 16));
  EXPECT_EQ(SignatureSummaryLine(record(0, 0, 1), 2, &describer()),
            QStringLiteral("2.\tIvanov\r\n\tDirector\r\n\tOrvanta\r\n"));
  EXPECT_EQ(SignatureSummaryLine(unreadable, 2, &describer()), QString());
  // Last record first, numbered from 1.
  SignatureRecord other = record(0, 0, 1);
  other.certificate = "garbage";
  EXPECT_EQ(StampSignaturesText({other, record(0, 0, 1)}, &describer()),
            QStringLiteral("\r\n1.\tIvanov\r\n\tDirector\r\n\tOrvanta\r\n\r\n"));
}

// The window over the real toolkit's descriptions of real certificates.
class ProtocolWindow : public UnpackFixture {
 protected:
  void SetUp() override {
    UnpackFixture::SetUp();
    session_ = std::make_unique<CryptoSession>();
    ASSERT_EQ(session_->Open(), 0);
  }
  void TearDown() override {
    session_->Close();
    session_.reset();
    UnpackFixture::TearDown();
  }
  SignatureRecord party(const test_support::Party& p, const QString& serial, int status, int code, int flag) {
    SignatureRecord r;
    r.signingTime = QStringLiteral("12.03.2025 09:15:00");
    r.serial = serial;
    r.signerName = QStringLiteral("/CN=") + serial;
    r.certificate = bytes(p.der);
    r.certificateLength = static_cast<int>(r.certificate.size());
    r.issuer.CN = "Test CA";
    r.status = status;
    r.resultCode = code;
    r.signerFlag = flag;
    r.fileName = path("docs/report.doc.sgn");
    return r;
  }
  std::unique_ptr<CVerifyProtocolDlg> dialog(const std::vector<SignatureRecord>& records, bool allConfirmed,
                                             bool extract) {
    ProtocolServices services;
    services.prompts = &prompts_;
    services.help = [this](int context) { help_.push_back(context); };
    services.viewer = [this](const QByteArray& c) { viewed_.push_back(c); };
    auto dlg = std::make_unique<CVerifyProtocolDlg>(std::move(services));
    VerifyProtocolRequest request;
    request.records = records;
    request.fileName = path("docs/report.doc.sgn");
    request.documentPath = path("docs/report.doc.sgn");
    request.allConfirmed = allConfirmed;
    request.extractDocument = extract;
    dlg->setRequest(request);
    dlg->setDescriber(session_.get());
    return dlg;
  }
  static QStringList column(const CVerifyProtocolDlg& d, int c) {
    QStringList out;
    for (int r = 0; r < d.rows().rowCount(); ++r) out << d.rows().text(r, c);
    return out;
  }

  std::unique_ptr<CryptoSession> session_;
  ScriptedPromptService prompts_;
  std::vector<int> help_;
  std::vector<QByteArray> viewed_;
};

TEST_F(ProtocolWindow, RowsRunFromTheLastRecordAndTheBoxFollowsTheVerdict) {
  SignatureRecord untimed = party(partyB(), "2B", kSignerFailed, 7, 1);
  untimed.signingTime.clear();
  auto dlg = dialog({party(partyA(), "2A", 0, 0, 1), untimed, party(partyA(), "2A", 4, -1, 0)}, false, true);
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Протокол проверки ЭЦП"));
  EXPECT_EQ(column(*dlg, 0), QStringList({"1", "2", "3"}));
  EXPECT_EQ(column(*dlg, 1), QStringList({"", "Party B", "Party A"}));
  EXPECT_EQ(column(*dlg, 2), QStringList({"", "2B", "2A"}));
  EXPECT_EQ(column(*dlg, 3), QStringList({"", "Test CA", "Test CA"}));
  EXPECT_EQ(column(*dlg, 4), QStringList({"12.03.2025 09:15:00", "не указана", "12.03.2025 09:15:00"}));
  EXPECT_EQ(column(*dlg, 5),
            QStringList({"Подпись не обнаружена", "Неверная подпись сертификата", "Подпись подтверждена"}));
  EXPECT_EQ(dlg->rows().row(0).image, 8);
  EXPECT_EQ(dlg->rows().row(1).image, 1);
  EXPECT_EQ(dlg->rows().row(2).image, 0);
  QStringList headings;
  for (int c = 0; c < dlg->rows().columnCount(); ++c)
    headings << dlg->rows().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  EXPECT_EQ(headings, QStringList({"№", "Автор подписи", "Серийный номер", "Издатель сертификата", "Дата формирования",
                                   "Результат проверки"}));
  EXPECT_EQ(dlg->fileEdit()->text(), QStringLiteral("report.doc.sgn"));
  // Row 0 (the last record) in the details; the box disabled and cleared.
  EXPECT_TRUE(dlg->details().startsWith(QStringLiteral(" Подпись №1\r\n Результат проверки: ПОДПИСЬ НЕ ОБНАРУЖЕНА")));
  EXPECT_FALSE(dlg->detailsEdit()->toPlainText().contains(QLatin1Char('\r')));
  EXPECT_FALSE(dlg->extractBox()->isEnabled());
  EXPECT_FALSE(dlg->extractBox()->isChecked());
  EXPECT_EQ(dlg->okButton()->text(), QStringLiteral("Закрыть"));
  // A click on the second row shows its record under number 2, "не указана" and all.
  const QRect second = dlg->list()->visualRect(dlg->rows().index(1, 1));
  QTest::mouseClick(dlg->list()->viewport(), Qt::LeftButton, {}, second.center());
  EXPECT_TRUE(dlg->details().startsWith(QStringLiteral(" Подпись №2\r\n Результат проверки: НЕВЕРНАЯ ПОДПИСЬ")))
      << dlg->details().toStdString();
  EXPECT_TRUE(dlg->details().contains(QStringLiteral(" Дата формирования подписи: не указана\r\n")));
  EXPECT_EQ(dlg->records()[1].signingTime, QStringLiteral("не указана"));
  // "Подробно" hands the selected record's certificate to the viewer; F1 is help 70.
  QTest::mouseClick(dlg->detailsButton(), Qt::LeftButton);
  ASSERT_EQ(viewed_.size(), 1U);
  EXPECT_EQ(viewed_[0], bytes(partyB().der));
  QTest::keyClick(dlg.get(), Qt::Key_F1);
  EXPECT_EQ(help_, std::vector<int>({70}));
  gui_test::expect_no_clipped_text(dlg.get());
  QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
  EXPECT_EQ(dlg->result(), QDialog::Accepted);
  EXPECT_FALSE(dlg->answer().extractDocument);
}

TEST_F(ProtocolWindow, OkTextFollowsTheBoxWhenAllAreConfirmed) {
  for (bool extract : {true, false}) {
    auto dlg = dialog({party(partyA(), "2A", 0, 0, 1), party(partyB(), "2B", 0, 0, 1)}, true, extract);
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    EXPECT_TRUE(dlg->extractBox()->isEnabled());
    EXPECT_EQ(dlg->extractBox()->isChecked(), extract);
    EXPECT_EQ(dlg->okButton()->text(), extract ? QStringLiteral("Продолжить") : QStringLiteral("Закрыть"));
    dlg->extractBox()->click();
    EXPECT_EQ(dlg->okButton()->text(), extract ? QStringLiteral("Закрыть") : QStringLiteral("Продолжить"));
    QTest::mouseClick(dlg->okButton(), Qt::LeftButton);
    EXPECT_EQ(dlg->answer().extractDocument, !extract);
  }
}

TEST_F(ProtocolWindow, AnEmptyListShowsNothingAndPrintsNothing) {
  auto dlg = dialog({}, true, true);
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  EXPECT_EQ(dlg->rows().rowCount(), 0);
  EXPECT_EQ(dlg->details(), QString());
  QTest::mouseClick(dlg->detailsButton(), Qt::LeftButton);
  EXPECT_TRUE(viewed_.empty());
}

TEST_F(ProtocolWindow, Screenshot) {
  SignatureRecord notFound = party(partyA(), "2A", kSignatureNotFound, -1, 0);
  notFound.fileName = path("docs/report.doc.sig2");
  auto dlg =
      dialog({party(partyA(), "2A", 0, 0, 1), party(partyB(), "2B", kSignerFailed, 7, 1), notFound}, false, false);
  dlg->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
  // Every row shows its picture.
  for (int r = 0; r < dlg->rows().rowCount(); ++r) {
    const QVariant picture = dlg->rows().data(dlg->rows().index(r, 0), Qt::DecorationRole);
    ASSERT_TRUE(picture.canConvert<QPixmap>()) << r;
    EXPECT_FALSE(picture.value<QPixmap>().isNull()) << r;
  }
  for (const char* text : {"Подписанный документ", "Обнаруженные подписи", "Извлечь подписанный документ", "Подробно",
                           "Просмотр", "Печать", "Закрыть", "Справка"}) {
    bool found = false;
    for (QWidget* w : dlg->findChildren<QWidget*>()) {
      const QString t = w->property("text").toString();
      if (t == QString::fromUtf8(text) && w->isVisible()) found = true;
    }
    EXPECT_TRUE(found) << text;
  }
  gui_test::expect_no_clipped_text(dlg.get());
  gui_test::screenshot(dlg.get(), "verify_protocol_dialog");
}

}  // namespace
}  // namespace dsutils::widgets
