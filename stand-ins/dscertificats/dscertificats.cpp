// Stand-in for the outside certificate viewer "DSCertificats.dll": one
// export, SetDataFromBuffer(certificate, length), which opens a window with
// the certificate's subject, issuer, serial number and validity, read with
// OpenSSL's certificate parser. The window is not modal and deletes itself
// when closed; without a QApplication on the calling thread the fields are
// written to standard error instead. Links no library of the product.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QThread>
#include <QVBoxLayout>
#include <cstdio>
#include <string>

namespace {

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string name_text(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  // One line, UTF-8 kept as it is.
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  std::string text = bio_text(bio);
  BIO_free(bio);
  return text;
}

std::string time_text(const ASN1_TIME* t) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  ASN1_TIME_print(bio, t);
  std::string text = bio_text(bio);
  BIO_free(bio);
  return text;
}

std::string serial_text(const ASN1_INTEGER* serial) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(serial, nullptr);
  if (bn == nullptr) return {};
  char* hex = BN_bn2hex(bn);
  std::string text = hex != nullptr ? hex : "";
  OPENSSL_free(hex);
  BN_free(bn);
  return text;
}

struct Fields {
  std::string subject, issuer, serial, notBefore, notAfter;
};

bool read_fields(const unsigned char* data, int length, Fields& f) {
  const unsigned char* p = data;
  X509* cert = d2i_X509(nullptr, &p, length);
  if (cert == nullptr) return false;
  f.subject = name_text(X509_get_subject_name(cert));
  f.issuer = name_text(X509_get_issuer_name(cert));
  f.serial = serial_text(X509_get0_serialNumber(cert));
  f.notBefore = time_text(X509_get0_notBefore(cert));
  f.notAfter = time_text(X509_get0_notAfter(cert));
  X509_free(cert);
  return true;
}

QLabel* field(const std::string& text, const char* name) {
  auto* label = new QLabel(QString::fromStdString(text));
  label->setObjectName(QString::fromLatin1(name));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

void show_window(const Fields& f) {
  auto* dialog = new QDialog();
  dialog->setObjectName(QStringLiteral("DSCertificatsViewer"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowTitle(QStringLiteral("Сертификат"));
  auto* form = new QFormLayout();
  form->addRow(QStringLiteral("Владелец:"), field(f.subject, "subject"));
  form->addRow(QStringLiteral("Издатель:"), field(f.issuer, "issuer"));
  form->addRow(QStringLiteral("Серийный номер:"), field(f.serial, "serial"));
  form->addRow(QStringLiteral("Действителен с:"), field(f.notBefore, "notBefore"));
  form->addRow(QStringLiteral("Действителен по:"), field(f.notAfter, "notAfter"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(dialog);
  layout->addLayout(form);
  layout->addWidget(buttons);
  dialog->show();
  dialog->raise();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void SetDataFromBuffer(const unsigned char* data, int length) {
  if (data == nullptr || length <= 0) return;
  Fields f;
  if (!read_fields(data, length, f)) {
    std::fprintf(stderr, "DSCertificats: not a certificate (%d bytes)\n", length);
    return;
  }
  QCoreApplication* app = QCoreApplication::instance();
  if (qobject_cast<QApplication*>(app) != nullptr && QThread::currentThread() == app->thread()) {
    show_window(f);
    return;
  }
  std::fprintf(stderr, "Владелец: %s\nИздатель: %s\nСерийный номер: %s\nДействителен с: %s\nДействителен по: %s\n",
               f.subject.c_str(), f.issuer.c_str(), f.serial.c_str(), f.notBefore.c_str(), f.notAfter.c_str());
}
