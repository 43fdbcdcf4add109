#include "dsutils/engine/file_state.h"

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"
#include "dsutils/engine/signature_archive.h"
#include "dsutils/engine/ui_scripted.h"
#include "quillon2/ql_codes.h"

namespace dsutils {

namespace ql = quillon2;

int ShowFileState(const QString& file) {
  CryptoSession& session = global_crypto_session();
  SessionHold hold(session);
  hold.Open();
  // The kind from the file's head: no size limit, nothing decoded.
  const int kind = session.GetFileType(file);
  QString text;
  switch (kind) {
    case ql::QL_KIND_SIGNED:
      text = QStringLiteral("Документ подписан!");
      break;
    case ql::QL_KIND_ENVELOPED:
      text = QStringLiteral("Документ зашифрован!");
      break;
    case ql::QL_KIND_SIGNED_ENVELOPED:
      text = QStringLiteral("Документ подписан и зашифрован!");
      break;
    case ql::QL_KIND_OTHER: {
      if (GetExtFromName(file) != QLatin1String("sga")) {
        text = QStringLiteral("Документ не защищен или испорчен!");
        break;
      }
      // The archive is checked where it lies: nothing is copied, moved or written.
      sga::Contents contents;
      text = sga::check_archive_file(file, contents) ? QStringLiteral("Документ подписан!")
                                                     : QStringLiteral("Документ не подписан или испорчен!");
      break;
    }
    default:
      return -1;
  }
  ScriptedUi cancelling;
  EngineUi* ui = operation_ui();
  (ui != nullptr ? *ui : cancelling).showFileInfo(FileInfoRequest{file, text});
  return 0;
}

}  // namespace dsutils
