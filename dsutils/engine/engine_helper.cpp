#include "dsutils/engine/engine_helper.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "dsutils/engine/error_text.h"
#include "platform/environment.h"

namespace dsutils {

std::atomic<std::uint32_t> g_debug_flag{0};

void debug_log(const QString& text) {
  if (g_debug_flag.load(std::memory_order_relaxed) == 0) return;
  error_text_loader().LogDebug(text);
}

void debug_log(const char* format, const QString& a, const QString& b) {
  if (g_debug_flag.load(std::memory_order_relaxed) == 0) return;
  error_text_loader().LogDebug(QString::fromUtf8(format).arg(a, b));
}

namespace {
std::atomic<EngineUi*> g_ui{nullptr};
thread_local EngineUi* t_operation_ui = nullptr;
}  // namespace

void EngineHelper::setUi(EngineUi* ui) { g_ui.store(ui); }
EngineUi* EngineHelper::ui() { return g_ui.load(); }

OperationUiScope::OperationUiScope(EngineUi* ui) : previous_(t_operation_ui) { t_operation_ui = ui; }
OperationUiScope::~OperationUiScope() { t_operation_ui = previous_; }

EngineUi* operation_ui() { return t_operation_ui != nullptr ? t_operation_ui : g_ui.load(); }

int EngineHelper::ShowMessage(const QString& text, unsigned flags, OperationProgress* progress) {
  EngineUi* ui = operation_ui();
  if (!ui) {
    std::fprintf(stderr, "Dossar: %s\n", text.toUtf8().constData());
    const unsigned type = flags & MB_TYPEMASK;
    return type == MB_OK ? IDOK : type == MB_YESNO ? IDNO : IDCANCEL;
  }
  const bool hide = progress && progress->shown();
  if (hide) progress->stop();
  MessageRequest request{text, flags, progress};
  const int answer = ui->showMessage(request);
  if (hide) progress->start();
  return answer;
}

EngineHelper& engine_helper() {
  static EngineHelper* helper = new EngineHelper();  // used until the process ends
  return *helper;
}

QString default_folder() {
  const std::optional<std::string> home = platform::env("HOME");
  return home && home->starts_with('/') ? QFile::decodeName(home->c_str()) : QStringLiteral("/");
}

QString user_temp_folder() {
  const std::optional<std::string> tmp = platform::env("TMPDIR");
  return tmp && tmp->starts_with('/') ? QFile::decodeName(tmp->c_str()) : QStringLiteral("/tmp");
}

}  // namespace dsutils
