#include "dsutils/engine/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace dsutils {
namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The "C" locale's printable class, whatever locale the process runs in.
bool printable(char c) { return c >= 0x20 && c <= 0x7e; }

bool read_whole(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > SignatureListFile::kMaxBytes) {
    ::close(fd);
    return false;
  }
  out.clear();
  std::array<char, 8192> buf{};
  for (;;) {
    const ssize_t r = ::read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    out.append(buf.data(), static_cast<std::size_t>(r));
    if (out.size() > SignatureListFile::kMaxBytes) {  // grew while being read
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool has_line_break(std::string_view s) { return s.find('\n') != std::string_view::npos; }

bool writable_name(std::string_view name) {
  if (has_line_break(name) || name.find_first_of(";#[=") != std::string_view::npos) return false;
  return name.empty() || printable(name.front());
}

}  // namespace

SignatureListFile::SignatureListFile(std::string path) : path_(std::move(path)) {}

std::string SignatureListFile::key(std::string_view name) const {
  std::string k(name);
  if (caseInsensitive_)
    for (char& c : k) c = fold(c);
  return k;
}

void SignatureListFile::reindex() {
  sectionIndex_.clear();
  for (std::size_t i = 0; i < sectionNames_.size(); ++i) {
    sectionIndex_.emplace(key(sectionNames_[i]), static_cast<int>(i));
    Section& s = sections_[i];
    s.index.clear();
    for (std::size_t j = 0; j < s.names.size(); ++j) s.index.emplace(key(s.names[j]), static_cast<int>(j));
  }
}

void SignatureListFile::setCaseInsensitive(bool on) {
  caseInsensitive_ = on;
  reindex();
}

int SignatureListFile::FindSection(std::string_view name) const {
  const auto it = sectionIndex_.find(key(name));
  return it == sectionIndex_.end() ? -1 : it->second;
}

int SignatureListFile::AddSection(std::string_view name) {
  const int i = static_cast<int>(sectionNames_.size());
  sectionNames_.emplace_back(name);
  sections_.emplace_back();
  sectionIndex_.emplace(key(name), i);  // a duplicate keeps the first
  return i;
}

int SignatureListFile::FindValue(int section, std::string_view name) const {
  if (section < 0 || static_cast<std::size_t>(section) >= sections_.size()) return -1;
  const Section& s = sections_[static_cast<std::size_t>(section)];
  const auto it = s.index.find(key(name));
  return it == s.index.end() ? -1 : it->second;
}

bool SignatureListFile::SetValue(std::string_view section, std::string_view name, std::string_view value, bool create) {
  int si = FindSection(section);
  if (si < 0) {
    if (!create) return false;
    si = AddSection(section);
  }
  Section& s = sections_[static_cast<std::size_t>(si)];
  const int vi = FindValue(si, name);
  if (vi >= 0) {
    s.values[static_cast<std::size_t>(vi)] = std::string(value);
    return true;
  }
  if (!create) return false;
  s.names.emplace_back(name);
  s.values.emplace_back(value);
  s.index.emplace(key(name), static_cast<int>(s.names.size() - 1));
  return true;
}

bool SignatureListFile::SetIntValue(std::string_view section, std::string_view name, int value, bool create) {
  return SetValue(section, name, std::to_string(value), create);
}

std::string SignatureListFile::GetValue(std::string_view section, std::string_view name,
                                        std::string_view fallback) const {
  const int si = FindSection(section);
  const int vi = FindValue(si, name);
  if (vi < 0) return std::string(fallback);
  return sections_[static_cast<std::size_t>(si)].values[static_cast<std::size_t>(vi)];
}

int SignatureListFile::GetIntValue(std::string_view section, std::string_view name, int fallback) const {
  const std::string text = GetValue(section, name, std::to_string(fallback));
  // atoi's reading (blanks, sign, leading digits, 0 when none), with the
  // out-of-range cases saturated instead of undefined.
  errno = 0;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool SignatureListFile::AddSectionComment(int section, std::string text) {
  if (section < 0 || static_cast<std::size_t>(section) >= sections_.size()) return false;
  sections_[static_cast<std::size_t>(section)].comments.push_back(std::move(text));
  return true;
}

bool SignatureListFile::AddSectionComment(std::string_view section, std::string text) {
  return AddSectionComment(FindSection(section), std::move(text));
}

void SignatureListFile::Clear() {
  sectionNames_.clear();
  sections_.clear();
  headerComments_.clear();
  sectionIndex_.clear();
}

bool SignatureListFile::Read() {
  std::string bytes;
  if (!read_whole(path_, bytes)) return false;
  return ReadBytes(bytes);
}

bool SignatureListFile::ReadBytes(std::string_view bytes) {
  if (bytes.size() > kMaxBytes) return false;
  std::string current;
  bool inSection = false;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (!printable(line.front())) {
      std::printf("Failing on char %d\n", static_cast<int>(static_cast<unsigned char>(line.front())));
      return false;
    }
    const std::size_t mark = line.find_first_of(";#[=");
    if (mark == std::string_view::npos) continue;
    switch (line[mark]) {
      case ';':
      case '#': {
        std::string text(line.substr(mark + 1));
        if (inSection)
          AddSectionComment(FindSection(current), std::move(text));
        else
          headerComments_.push_back(std::move(text));
        break;
      }
      case '=':
        SetValue(current, line.substr(0, mark), line.substr(mark + 1), true);
        break;
      default: {  // '['
        const std::size_t close = line.rfind(']');
        if (close == std::string_view::npos || close < mark) break;
        current = std::string(line.substr(mark + 1, close - mark - 1));
        inSection = true;
        AddSection(current);
        break;
      }
    }
  }
  return !sectionNames_.empty();
}

std::string SignatureListFile::Render() const {
  std::string out;
  for (const std::string& c : headerComments_) {
    if (has_line_break(c)) return {};
    out += ';' + c + "\r\n";
  }
  if (!headerComments_.empty()) out += "\r\n";
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (has_line_break(sectionNames_[i])) return {};
    out += '[' + sectionNames_[i] + "]\r\n";
    const Section& s = sections_[i];
    for (const std::string& c : s.comments) {
      if (has_line_break(c)) return {};
      out += ';' + c + "\r\n";
    }
    for (std::size_t j = 0; j < s.names.size(); ++j) {
      if (!writable_name(s.names[j]) || has_line_break(s.values[j])) return {};
      out += s.names[j] + '=' + s.values[j] + "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

bool SignatureListFile::Write() const {
  const std::string bytes = Render();
  if (bytes.empty() && !(headerComments_.empty() && sections_.empty())) return false;
  if (path_.empty()) return false;
  const std::size_t slash = path_.rfind('/');
  std::string tmpl =
      (slash == std::string::npos ? std::string(".") : path_.substr(0, slash == 0 ? 1 : slash)) + "/.list-XXXXXX";
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (ok && n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) {
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  }
  ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmpl.c_str(), path_.c_str()) == 0;
  if (!ok) ::unlink(tmpl.c_str());
  return ok;
}

}  // namespace dsutils
