#include "platform/codepage/native_path.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/codepage/codepage.h"
#include "platform/environment.h"

namespace platform {
namespace {

// A mountinfo file is a few kilobytes; a hostile or broken one is not read
// past this.
constexpr std::size_t kMaxMountinfoBytes = 4u << 20;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The text converted and checked, "\" made "/"; nothing for a control character.
std::optional<std::string> convert(std::string_view text) {
  std::u16string wide = decode_codepage(local_codepage(), text);
  for (char16_t& c : wide) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return std::nullopt;
    if (c == u'\\') c = u'/';
  }
  return utf16_to_utf8(wide);
}

// "base" + "/" + rest, without doubled separators.
std::string join(const std::string& base, const std::string& rest) {
  std::string out = base;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  std::size_t from = 0;
  while (from < rest.size() && rest[from] == '/') ++from;
  if (from == rest.size()) return out;
  if (out != "/") out += '/';
  out.append(rest, from, std::string::npos);
  return out;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool folder_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string user_name() {
  if (std::optional<std::string> user = env("USER"); user && !user->empty()) return *user;
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->pw_name;
  return {};
}

std::string read_mountinfo() {
  std::ifstream in("/proc/self/mountinfo", std::ios::binary);
  std::string text;
  char chunk[4096];
  while (in && text.size() < kMaxMountinfoBytes) {
    in.read(chunk, sizeof chunk);
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  return text;
}

// The mountinfo escapes ("\040" blank, "\011" tab, "\012" newline, "\134"
// backslash): three octal digits after a backslash.
std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<std::string> mountinfo_mount_points(std::string_view mountinfo) {
  std::vector<std::string> points;
  std::size_t start = 0;
  while (start < mountinfo.size()) {
    std::size_t end = mountinfo.find('\n', start);
    if (end == std::string_view::npos) end = mountinfo.size();
    const std::string_view line = mountinfo.substr(start, end - start);
    start = end + 1;
    // Fields: id, parent id, major:minor, root, mount point, ...
    std::size_t pos = 0;
    std::string_view field;
    int n = 0;
    while (n < 5 && pos <= line.size()) {
      const std::size_t blank = line.find(' ', pos);
      field = line.substr(pos, blank == std::string_view::npos ? std::string_view::npos : blank - pos);
      ++n;
      if (blank == std::string_view::npos) break;
      pos = blank + 1;
    }
    if (n < 5 || field.empty() || field.front() != '/') continue;
    points.push_back(unescape(field));
  }
  return points;
}

std::vector<std::string> removable_mounts(std::string_view mountinfo, std::string_view root) {
  std::string prefix(root);
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty() || prefix.front() != '/') return {};
  if (prefix != "/") prefix += '/';
  std::vector<std::string> below;
  for (std::string& point : mountinfo_mount_points(mountinfo)) {
    if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) below.push_back(std::move(point));
  }
  std::sort(below.begin(), below.end());
  below.erase(std::unique(below.begin(), below.end()), below.end());
  return below;
}

std::string removable_media_root() {
  if (std::optional<std::string> root = env("DOSSAR_REMOVABLE_ROOT"); root && !root->empty()) return *root;
  const std::string user = user_name();
  if (user.empty()) return {};
  const std::string media = "/media/" + user;
  return folder_exists(media) ? media : "/run/media/" + user;
}

std::optional<std::string> native_path(std::string_view text, const DriveContext& context) {
  if (text.empty()) return std::nullopt;
  if (text.size() >= 2 && text[1] == ':' && is_letter(text[0])) {
    const char drive = static_cast<char>(text[0] & ~0x20);
    if (drive != 'A' && drive != 'C') return std::nullopt;
    const std::optional<std::string> rest = convert(text.substr(2));
    if (!rest) return std::nullopt;
    if (drive == 'C')
      return context.home.empty() ? std::nullopt : std::optional<std::string>(join(context.home, *rest));
    const std::vector<std::string> media = removable_mounts(context.mountinfo, context.removableRoot);
    if (media.empty()) return std::nullopt;
    if (media.size() > 1) {
      const auto exists = context.exists != nullptr ? context.exists : file_exists;
      for (const std::string& point : media) {
        const std::string candidate = join(point, *rest);
        if (exists(candidate)) return candidate;
      }
    }
    return join(media.front(), *rest);
  }
  return convert(text);
}

std::optional<std::string> native_path(std::string_view text) {
  if (text.size() < 2 || text[1] != ':' || !is_letter(text[0])) return native_path(text, DriveContext{});
  DriveContext context;
  const char drive = static_cast<char>(text[0] & ~0x20);
  if (drive == 'C') {
    const std::optional<std::string> home = env("HOME");
    context.home = home && !home->empty() && home->front() == '/' ? *home : std::string("/");
  } else if (drive == 'A') {
    context.removableRoot = removable_media_root();
    context.mountinfo = read_mountinfo();
  }
  return native_path(text, context);
}

}  // namespace platform
