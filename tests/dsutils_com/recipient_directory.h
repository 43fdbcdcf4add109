// A local certificate directory for the recipients page: real GOST
// certificates from one test CA (one leaf key serves every certificate, so
// thousands are made quickly), other users and personal entries written
// into the scratch registry the way the directory keeps them.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace dsutils::testing {

// Starts the crypto library for the test process (random from the kernel,
// the provider); false when it cannot.
bool start_test_crypto();

// A certificate with subject CN `cn` and `serial` (its directory name is
// serial_text(serial)), issued by the test CA. Empty on failure.
QByteArray make_user_certificate(const QString& cn, long serial);
// The test CA's certificate (DER), empty when it could not be made.
QByteArray test_ca_certificate();
// "%02X" per byte of the serial's two's-complement body, as the toolkit writes it.
QString serial_text(long serial);

// Below the product key of the current registry.
bool add_other_user(const QString& valueName, const QByteArray& der, const QString& alias);
bool add_personal_entry(const QString& entry, const QByteArray& der, const QString& profile);
bool set_executor_entry(const QString& entry);
// The raw bytes of Property\Encript "Users" (empty when missing).
QByteArray stored_users();
bool store_users_bytes(const QByteArray& bytes);

}  // namespace dsutils::testing
