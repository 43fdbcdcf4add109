// GIO before any Qt header: its headers use names that Qt defines as macros.
#include "dsutils/widgets/shell_service.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/stat.h>

#include <QFile>
#include <optional>

#include "dsutils/engine/engine_helper.h"
#include "platform/environment.h"

namespace dsutils::widgets {

namespace {
void set_error(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

bool regular_file(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The content type of a file, empty when it cannot be read.
std::string content_type(GFile* file, std::string* error) {
  GError* gerror = nullptr;
  GFileInfo* info =
      g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE, G_FILE_QUERY_INFO_NONE, nullptr, &gerror);
  std::string type;
  if (info == nullptr) {
    set_error(error, gerror != nullptr ? gerror->message : "the file's type is unknown");
  } else {
    const char* t = g_file_info_get_content_type(info);
    if (t != nullptr) type = t;
    g_object_unref(info);
  }
  if (gerror != nullptr) g_error_free(gerror);
  return type;
}

// The application's command is split into an argument vector and the file
// handed over as one argument; no shell sees it.
bool launch_app(GAppInfo* app, GFile* file, std::string* error) {
  GError* gerror = nullptr;
  GList files{file, nullptr, nullptr};
  const bool ok = g_app_info_launch(app, &files, nullptr, &gerror) != FALSE;
  if (!ok) set_error(error, gerror != nullptr ? gerror->message : "the application did not start");
  if (gerror != nullptr) g_error_free(gerror);
  return ok;
}

}  // namespace

bool ShellService::open(const std::string& path, std::string* error, bool* noApplication) {
  if (noApplication != nullptr) *noApplication = false;
  if (!regular_file(path)) {
    set_error(error, "no such file: " + path);
    return false;
  }
  GFile* file = g_file_new_for_path(path.c_str());
  bool ok = false;
  const std::string type = content_type(file, error);
  if (!type.empty()) {
    GAppInfo* app = g_app_info_get_default_for_type(type.c_str(), FALSE);
    if (app == nullptr) {
      set_error(error, "no application opens files of type " + type);
      if (noApplication != nullptr) *noApplication = true;
    } else {
      ok = launch_app(app, file, error);
      g_object_unref(app);
    }
  }
  g_object_unref(file);
  return ok;
}

bool ShellService::print(const std::string& path, std::string* error) {
  if (path.empty() || path[0] != '/' || !regular_file(path)) {
    set_error(error, "no such file: " + path);
    return false;
  }
  // lp says why it failed on its standard error: that text is the error.
  const ProcessResult r =
      engine_helper().RunProcess(QStringLiteral("lp"), {QFile::decodeName(path.c_str())}, /*withErrors=*/true);
  std::string output = r.output.toStdString();
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  if (r.started && !r.crashed && r.exitCode == 0) return true;
  if (output.empty()) {
    output = !r.started || r.crashed ? "lp: " + r.errorText.toStdString()
                                     : "lp ended with status " + std::to_string(r.exitCode);
  }
  set_error(error, output);
  return false;
}

std::vector<DesktopApplication> ShellService::applicationsFor(const std::string& path) {
  std::vector<DesktopApplication> out;
  if (!regular_file(path)) return out;
  GFile* file = g_file_new_for_path(path.c_str());
  const std::string type = content_type(file, nullptr);
  g_object_unref(file);
  if (type.empty()) return out;
  GList* apps = g_app_info_get_all_for_type(type.c_str());
  // A type no program declares (the case where there is no default): every
  // program the person could run, as the system's "open with" offers.
  const bool all = apps == nullptr;
  if (all) apps = g_app_info_get_all();
  for (GList* l = apps; l != nullptr; l = l->next) {
    auto* app = static_cast<GAppInfo*>(l->data);
    if (all && g_app_info_should_show(app) == FALSE) continue;
    const char* id = g_app_info_get_id(app);
    const char* name = g_app_info_get_display_name(app);
    if (id != nullptr) out.push_back({id, name != nullptr ? name : id});
  }
  g_list_free_full(apps, g_object_unref);
  return out;
}

bool ShellService::launch(const std::string& id, const std::string& path, std::string* error) {
  if (!regular_file(path)) {
    set_error(error, "no such file: " + path);
    return false;
  }
  GDesktopAppInfo* app = g_desktop_app_info_new(id.c_str());
  if (app == nullptr) {
    set_error(error, "no application " + id);
    return false;
  }
  GFile* file = g_file_new_for_path(path.c_str());
  const bool ok = launch_app(G_APP_INFO(app), file, error);
  g_object_unref(file);
  g_object_unref(app);
  return ok;
}

ShellService& shell_service() {
  static ShellService* service = new ShellService();  // lives as long as the process
  return *service;
}

HelpService::HelpService(ShellService& shell, std::string folder) : shell_(shell), folder_(std::move(folder)) {
  if (folder_.empty()) {
    const std::optional<std::string> env = platform::env("DOSSAR_HELP_DIR");
    folder_ = env && !env->empty() ? *env : std::string(DOSSAR_HELP_SOURCE_DIR);
  }
}

const std::vector<int>& HelpService::contexts() {
  static const std::vector<int> list = {66, 68, 69, 70, 71, 131215};
  return list;
}

std::string HelpService::page(int context) const {
  const std::string path = folder_ + "/topic-" + std::to_string(context) + ".html";
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}

bool HelpService::show(int context) {
  const std::string path = page(context);
  return !path.empty() && shell_.open(path);
}

}  // namespace dsutils::widgets
