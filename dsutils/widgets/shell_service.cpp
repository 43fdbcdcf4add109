// GIO before any Qt header: its headers use names that Qt defines as macros.
#include "dsutils/widgets/shell_service.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <optional>

#include "platform/environment.h"

namespace dsutils::widgets {

namespace {
void set_error(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}
}  // namespace

bool ShellService::open(const std::string& path, std::string* error) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    set_error(error, "no such file: " + path);
    return false;
  }
  GFile* file = g_file_new_for_path(path.c_str());
  GError* gerror = nullptr;
  GFileInfo* info =
      g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE, G_FILE_QUERY_INFO_NONE, nullptr, &gerror);
  bool ok = false;
  if (info == nullptr) {
    set_error(error, gerror != nullptr ? gerror->message : "the file's type is unknown");
  } else {
    const char* type = g_file_info_get_content_type(info);
    GAppInfo* app = type != nullptr ? g_app_info_get_default_for_type(type, FALSE) : nullptr;
    if (app == nullptr) {
      set_error(error, std::string("no application opens files of type ") + (type != nullptr ? type : "?"));
    } else {
      GList files{file, nullptr, nullptr};
      // The application's command is split into an argument vector and the
      // file handed over as one argument; no shell sees it.
      ok = g_app_info_launch(app, &files, nullptr, &gerror) != FALSE;
      if (!ok) set_error(error, gerror != nullptr ? gerror->message : "the application did not start");
      g_object_unref(app);
    }
    g_object_unref(info);
  }
  if (gerror != nullptr) g_error_free(gerror);
  g_object_unref(file);
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
