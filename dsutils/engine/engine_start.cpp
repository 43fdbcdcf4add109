#include "dsutils/engine/engine_start.h"

#include <mutex>

#include "dsutils/engine/crypto_session.h"
#include "dsutils/engine/engine_helper.h"

namespace dsutils {

void StartEngine() {
  static std::once_flag once;
  std::call_once(once, [] {
    CryptoSession& session = global_crypto_session();
    set_crypto_session(&session);
    setDirectoryCryptoFactory(toolkit_directory_factory());
    EngineHelper& helper = engine_helper();
    g_debug_flag = helper.GetDebugFlag();
    helper.ClearTmpRoot();
  });
}

}  // namespace dsutils
