// SignatureListFile: the INI-style list file inside a .sga archive. Comment
// lines (";" or "#"), "[section]" headers and name=value lines; names are
// compared with ASCII case folding unless told otherwise. Texts are bytes as
// they stand in the file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dsutils {

class SignatureListFile {
 public:
  // The list travels in archives from anywhere: a larger file is refused.
  static constexpr std::size_t kMaxBytes = 1 << 20;

  explicit SignatureListFile(std::string path = {});
  virtual ~SignatureListFile() = default;

  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  bool caseInsensitive() const { return caseInsensitive_; }
  void setCaseInsensitive(bool on);

  // Reads the file at path(): true when it ended normally and at least one
  // section was read (what was read before a bad line stays in the model).
  bool Read();
  // The same over bytes in memory.
  bool ReadBytes(std::string_view bytes);
  // Writes the model through a temporary file renamed into place; false when
  // that fails or when a text could not be read back as written (a line
  // break in any text, a name holding ";", "#", "[" or "=" or starting with
  // a control character).
  bool Write() const;
  // The bytes Write() puts into the file (CR LF line ends); empty when the
  // model cannot be written.
  std::string Render() const;

  int FindSection(std::string_view name) const;
  int AddSection(std::string_view name);
  int FindValue(int section, std::string_view name) const;
  bool SetValue(std::string_view section, std::string_view name, std::string_view value, bool create);
  bool SetIntValue(std::string_view section, std::string_view name, int value, bool create);
  std::string GetValue(std::string_view section, std::string_view name, std::string_view fallback) const;
  int GetIntValue(std::string_view section, std::string_view name, int fallback) const;
  void AddHeaderComment(std::string text) { headerComments_.push_back(std::move(text)); }
  bool AddSectionComment(int section, std::string text);
  bool AddSectionComment(std::string_view section, std::string text);
  void Clear();

  // Read-only views for callers and tests.
  std::size_t sectionCount() const { return sectionNames_.size(); }
  const std::string& sectionName(int i) const { return sectionNames_[static_cast<std::size_t>(i)]; }
  const std::vector<std::string>& valueNames(int i) const { return sections_[static_cast<std::size_t>(i)].names; }
  const std::vector<std::string>& values(int i) const { return sections_[static_cast<std::size_t>(i)].values; }
  const std::vector<std::string>& sectionComments(int i) const {
    return sections_[static_cast<std::size_t>(i)].comments;
  }
  const std::vector<std::string>& headerComments() const { return headerComments_; }

 private:
  struct Section {
    std::vector<std::string> names;
    std::vector<std::string> values;
    std::vector<std::string> comments;
    // Folded name -> first index, so a long list reads in linear time.
    std::unordered_map<std::string, int> index;
  };
  std::string key(std::string_view name) const;
  void reindex();

  bool caseInsensitive_ = true;
  std::string path_;
  std::vector<Section> sections_;
  std::vector<std::string> sectionNames_;
  std::vector<std::string> headerComments_;
  std::unordered_map<std::string, int> sectionIndex_;
};

}  // namespace dsutils
