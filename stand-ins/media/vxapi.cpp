// Stand-in for the older token API library "vxapi.dll": 14 path-based
// calls over the folder tree of token_tree.h. Creating, reading, writing
// and deleting files need a login, asked through the caller's context
// callback when the context has not logged in.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "crypto/bio/media_drivers.h"
#include "stand-ins/media/media_control.h"
#include "stand-ins/media/token_tree.h"

namespace fs = std::filesystem;

namespace {

// The function numbers of library 70 for the calls, by export order
// (list_files has none of its own).
constexpr int32_t kFunctionCodes[14] = {100, 0, 104, 105, 106, 107, 108, 109, 110, 111, 103, 102, 101, 113};

int fail(VEXIL_API_CTX* ctx, int function, int reason) {
  if (ctx != nullptr) {
    ctx->err_function = kFunctionCodes[function];
    ctx->err_reason = reason;
    ctx->err_file = "vxapi";
    ctx->err_line = function;
  }
  return 0;
}

// The token folder of the context's reader; empty when none answers.
std::string token_of(const VEXIL_API_CTX* ctx) {
  if (ctx == nullptr || ctx->slot == 0) return {};
  return standin::token_folder(ctx->reader);
}

bool to_path(const VEXIL_API_CTX* ctx, const char* ids, fs::path* out) {
  const std::string token = token_of(ctx);
  if (token.empty() || ids == nullptr) return false;
  const std::string s(ids);
  if (s.size() % 4 != 0) return false;
  fs::path p(token);
  for (std::size_t i = 0; i < s.size(); i += 4) {
    std::string id = s.substr(i, 4);
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    uint16_t v = 0;
    if (!standin::parse_id(id, &v)) return false;
    p /= id;
  }
  *out = p;
  return true;
}

bool do_login(VEXIL_API_CTX* ctx, const char* pin, int function) {
  switch (standin::media_check_pin(pin)) {
    case 0:
      ctx->logged_in = 1;
      return true;
    case 1:
      return fail(ctx, function, VXAPI_R_LOGIN_FAILED) != 0;
    default:
      return fail(ctx, function, VXAPI_R_PIN_LOCKED) != 0;
  }
}

bool ensure_login(VEXIL_API_CTX* ctx, int function) {
  if (ctx->logged_in != 0) return true;
  if (ctx->password_callback == nullptr) return fail(ctx, function, VXAPI_R_LOGIN_FAILED) != 0;
  char pin[256] = {};
  const int n = ctx->password_callback(pin, sizeof pin, 0, ctx->callback_argument);
  if (n < 1 || n > 255) {
    std::memset(pin, 0, sizeof pin);
    return fail(ctx, function, VXAPI_R_LOGIN_FAILED) != 0;
  }
  pin[n] = '\0';
  const bool ok = do_login(ctx, pin, function);
  std::memset(pin, 0, sizeof pin);
  return ok;
}

// Scripted failure, then the token, then the path.
bool enter(VEXIL_API_CTX* ctx, const char* name, int function, const char* ids, fs::path* p) {
  if (standin::media_call(name)) return fail(ctx, function, VXAPI_R_DEVICE) != 0;
  if (token_of(ctx).empty()) return fail(ctx, function, VXAPI_R_NO_TOKEN) != 0;
  if (p != nullptr && !to_path(ctx, ids, p)) return fail(ctx, function, VXAPI_R_BAD_PATH) != 0;
  return true;
}

}  // namespace

STANDIN_EXPORT int VEXIL_init(VEXIL_API_CTX* ctx, const char* reader) {
  if (standin::media_call("VEXIL_init") || ctx == nullptr || reader == nullptr) return fail(ctx, 0, VXAPI_R_DEVICE);
  std::snprintf(ctx->reader, sizeof ctx->reader, "%s", reader);
  ctx->slot = 1;
  ctx->logged_in = 0;
  return 1;
}

STANDIN_EXPORT int VEXIL_close(VEXIL_API_CTX* ctx) {
  standin::media_call("VEXIL_close");
  if (ctx != nullptr) {
    ctx->slot = 0;
    ctx->logged_in = 0;
  }
  return 1;
}

STANDIN_EXPORT int VEXIL_login(VEXIL_API_CTX* ctx, const char* pin) {
  if (!enter(ctx, "VEXIL_login", 2, nullptr, nullptr)) return 0;
  return do_login(ctx, pin, 2) ? 1 : 0;
}

STANDIN_EXPORT int VEXIL_logout(VEXIL_API_CTX* ctx) {
  standin::media_call("VEXIL_logout");
  if (ctx != nullptr) ctx->logged_in = 0;
  return 1;
}

STANDIN_EXPORT int VEXIL_change_password(VEXIL_API_CTX* ctx, const char*, const char*) {
  standin::media_call("VEXIL_change_password");
  return fail(ctx, 4, VXAPI_R_DEVICE);
}

STANDIN_EXPORT int VEXIL_create_directory(VEXIL_API_CTX* ctx, const char* ids, int) {
  fs::path p;
  if (!enter(ctx, "VEXIL_create_directory", 5, ids, &p)) return 0;
  std::error_code ec;
  if (fs::is_directory(p, ec) || fs::create_directory(p, ec)) return 1;
  return fail(ctx, 5, VXAPI_R_DEVICE);
}

STANDIN_EXPORT int VEXIL_create_file(VEXIL_API_CTX* ctx, const char* ids, int size, int protect) {
  fs::path p;
  if (!enter(ctx, "VEXIL_create_file", 6, ids, &p) || !ensure_login(ctx, 6)) return 0;
  std::error_code ec;
  if (size < 0 || size > 0xFFFF || fs::exists(p, ec) || !fs::is_directory(p.parent_path(), ec)) {
    return fail(ctx, 6, VXAPI_R_BAD_PATH);
  }
  std::ofstream out(p, std::ios::binary);
  const std::vector<char> zeros(static_cast<std::size_t>(size), 0);
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  if (!out) return fail(ctx, 6, VXAPI_R_NO_SPACE);
  standin::token_mark_protected(p.string(), protect != 0);
  return 1;
}

STANDIN_EXPORT int VEXIL_delete(VEXIL_API_CTX* ctx, const char* ids) {
  fs::path p;
  if (!enter(ctx, "VEXIL_delete", 7, ids, &p) || !ensure_login(ctx, 7)) return 0;
  std::error_code ec;
  if (!fs::is_regular_file(p, ec) || !fs::remove(p, ec)) return fail(ctx, 7, VXAPI_R_NOT_FOUND);
  standin::token_mark_protected(p.string(), false);
  return 1;
}

STANDIN_EXPORT int VEXIL_write(VEXIL_API_CTX* ctx, const char* ids, const unsigned char* data, int offset, int length) {
  fs::path p;
  if (!enter(ctx, "VEXIL_write", 8, ids, &p) || !ensure_login(ctx, 8)) return 0;
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return fail(ctx, 8, VXAPI_R_NOT_FOUND);
  const auto size = static_cast<long>(fs::file_size(p, ec));
  if (offset < 0 || length < 0 || data == nullptr || offset + length > size) return fail(ctx, 8, VXAPI_R_BAD_PATH);
  const long take = standin::media_write_budget(length);
  std::fstream io(p, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(offset);
  io.write(reinterpret_cast<const char*>(data), take);
  io.close();
  return take == length ? 1 : fail(ctx, 8, VXAPI_R_NO_TOKEN);
}

STANDIN_EXPORT int VEXIL_read(VEXIL_API_CTX* ctx, const char* ids, unsigned char* buffer, int offset, int length) {
  fs::path p;
  if (!enter(ctx, "VEXIL_read", 9, ids, &p) || !ensure_login(ctx, 9)) return 0;
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return fail(ctx, 9, VXAPI_R_NOT_FOUND);
  const auto size = static_cast<long>(fs::file_size(p, ec));
  if (offset < 0 || length < 0 || buffer == nullptr || offset + length > size) return fail(ctx, 9, VXAPI_R_BAD_PATH);
  if (standin::media_read_budget(length) != length) return fail(ctx, 9, VXAPI_R_DEVICE);
  std::ifstream in(p, std::ios::binary);
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(buffer), length);
  return in ? 1 : fail(ctx, 9, VXAPI_R_DEVICE);
}

STANDIN_EXPORT int VEXIL_is_file_exist(VEXIL_API_CTX* ctx, const char* ids) {
  fs::path p;
  if (!enter(ctx, "VEXIL_is_file_exist", 10, ids, &p)) return 0;
  std::error_code ec;
  return fs::exists(p, ec) ? 1 : fail(ctx, 10, VXAPI_R_NOT_FOUND);
}

STANDIN_EXPORT int VEXIL_get_file_info(VEXIL_API_CTX* ctx, const char* ids, VEXIL_API_FILE_INFO* info) {
  fs::path p;
  if (!enter(ctx, "VEXIL_get_file_info", 11, ids, &p) || info == nullptr) return 0;
  std::error_code ec;
  if (!fs::exists(p, ec)) return fail(ctx, 11, VXAPI_R_NOT_FOUND);
  info->is_directory = fs::is_directory(p, ec) ? 1 : 0;
  info->size = info->is_directory != 0 ? 0 : static_cast<int32_t>(fs::file_size(p, ec));
  return 1;
}

STANDIN_EXPORT int VEXIL_get_config(VEXIL_API_CTX* ctx) {
  if (ctx == nullptr || !enter(ctx, "VEXIL_get_config", 12, nullptr, nullptr)) return 0;
  std::memset(ctx->config, 0, sizeof ctx->config);
  ctx->config[0] = 2;  // card generation
  return 1;
}

STANDIN_EXPORT int VEXIL_list_files(VEXIL_API_CTX* ctx, const char* ids, void* list, VEXIL_LIST_APPEND append) {
  fs::path p;
  if (!enter(ctx, "VEXIL_list_files", 13, ids, &p) || append == nullptr) return 0;
  std::error_code ec;
  if (!fs::is_directory(p, ec)) return fail(ctx, 13, VXAPI_R_NOT_FOUND);
  for (const auto& e : fs::directory_iterator(p, ec)) {
    uint16_t id = 0;
    const std::string name = e.path().filename().string();
    if (!standin::parse_id(name, &id)) continue;
    const bool dir = e.is_directory();
    if (append(list, name.c_str(), dir ? 1 : 0, dir ? 0 : static_cast<int>(e.file_size())) == 0) break;
  }
  return 1;
}
