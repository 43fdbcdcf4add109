// Registration with the desktop's file managers: the service menus of
// Dolphin, the scripts of Nautilus, the actions of Nemo, the MIME types of
// the three message forms and the application entry that opens them, all
// under one data folder ($XDG_DATA_HOME). Every file names the host program
// by its absolute path; each is written under a temporary name and renamed.
#pragma once

#include <QList>
#include <QString>

namespace dsutils {

struct RegistrationFile {
  QString path;  // relative to the data folder
  QByteArray content;
  bool executable = false;
};

struct RegistrationResult {
  bool ok = true;
  QString error;  // names the file or program that failed
};

// $XDG_DATA_HOME when it is absolute, else ~/.local/share.
QString DefaultDataHome();

// The session bus's entry that starts `service` (dsutils-service) on the
// first call to DSUtils.DSUtil, relative to the data folder.
inline constexpr char kBusServiceFile[] = "dbus-1/services/DSUtils.DSUtil.service";

// The files registration writes for `host` (and the bus entry for `service`
// unless it is empty), in writing order.
QList<RegistrationFile> RegistrationFiles(const QString& host, const QString& service = QString());
// The relative names of every file registration writes, whatever the host.
QStringList RegistrationFileNames();

// `path` as one argument of a Desktop Entry Exec value, quoted and escaped
// as the key file stores it ("\"/a b/\\\\$x\"" for /a b/$x with a backslash).
QString DesktopExecArgument(const QString& path);
// `path` as one sh word in single quotes.
QString ShellSingleQuoted(const QString& path);

// Writes the files and updates the MIME and application caches. Stops at the
// first failure, with the file's name; a file is never left half-written.
RegistrationResult RegisterFileManagers(const QString& host, const QString& dataHome,
                                        const QString& service = QString());
// Removes our files only (a missing one is no error) and updates the caches.
RegistrationResult UnregisterFileManagers(const QString& dataHome);

}  // namespace dsutils
