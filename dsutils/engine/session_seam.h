// What the engine's file steps need of the toolkit session. The session over
// the toolkit implements it; until one is installed, a file-system eraser of
// the engine serves, and tests install a recording double.
#pragma once

#include <QString>

namespace dsutils {

class ICryptoSession {
 public:
  virtual ~ICryptoSession() = default;
  // Overwrites a file with zeros and removes it (any key medium). Callers
  // hand it only regular files with one link; see EngineHelper::EraseWorkFile.
  virtual void EraseFile(const QString& path) = 0;
};

// The session the engine's file steps use; never null.
ICryptoSession& crypto_session();
// Installs `session` (null: back to the file-system eraser). Not owned.
void set_crypto_session(ICryptoSession* session);

// Zero-overwrite and removal of a file-system file through one descriptor
// opened without following links; a file with other links is only unlinked,
// so data reachable under another name is never zeroed.
bool erase_file_system_file(const QString& path);

}  // namespace dsutils
