#include "vxsdk/token_fs.h"

#include <algorithm>
#include <array>
#include <set>

#include "vxsdk/apdu.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/tlv.h"

namespace vxsdk {
namespace {

constexpr uint16_t kSwNotFound = 0x6A82;
constexpr uint16_t kSwNotFoundAlt = 0x6407;
constexpr uint8_t kK1File = 1;
constexpr uint8_t kK1Dir = 2;
constexpr uint8_t kK2File = 0x01;
constexpr uint8_t kK2Dir = 0x38;
constexpr uint8_t kK2FciLe = 0x64;
constexpr size_t kK1ListAnswer = 2050;
// A continuation is one byte: more rounds than its values means a loop.
constexpr int kK2MaxListRounds = 256;

constexpr std::array<uint8_t, 9> kAcFile0 = {0x00, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01};
constexpr std::array<uint8_t, 9> kAcFile1 = {0x01, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01};
constexpr std::array<uint8_t, 9> kAcDir = {0xFF, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0xFF};

bool IsNotFound(const CAException& e) {
  return e.Code() == CardStatusCode(kSwNotFound) || e.Code() == CardStatusCode(kSwNotFoundAlt);
}

// Whether `select` finds its object: a not-found answer is false, any other
// failure goes on to the caller.
template <typename F>
bool Found(F&& select) {
  try {
    select();
  } catch (const CAException& e) {
    if (IsNotFound(e)) {
      return false;
    }
    throw;
  }
  return true;
}

std::vector<uint16_t> Child(const std::vector<uint16_t>& path, uint16_t id) {
  std::vector<uint16_t> p = path;
  p.push_back(id);
  return p;
}

// Writes beyond the fixed size are refused before anything is sent; the
// sum is taken in 32 bits so 0xFFF0 + 0x20 cannot wrap past the check.
void CheckWrite(size_t length, uint16_t offset, uint16_t size) {
  if (length > 0xFFFF || static_cast<uint32_t>(offset) + static_cast<uint32_t>(length) > size) {
    VX_THROW(kEInvalidArg);
  }
}

// ---- older card OS ----

K1SelectInfo K1SelectPath(CCardChannel& ch, const std::vector<uint16_t>& path) {
  if (path.empty() || path.size() > 127) {
    VX_THROW(kEInvalidArg);
  }
  std::vector<uint8_t> d = {0x00, static_cast<uint8_t>(path.size())};
  for (uint16_t id : path) {
    PutLe16(d, id);
  }
  CApdu c = K1Command(0xA4, d, CVexilK1Token::kSelectAnswer);
  c.SendChecked(ch);
  return ParseK1Select(c.Data());
}

K1SelectInfo K1SelectBelow(CCardChannel& ch, uint16_t id) {
  std::vector<uint8_t> d = {0x01, 0x01};
  PutLe16(d, id);
  CApdu c = K1Command(0xA4, d, CVexilK1Token::kSelectAnswer);
  c.SendChecked(ch);
  return ParseK1Select(c.Data());
}

// A file's flag and size, learnt by Learn from the first select that answers
// them and kept.
class CCachedFile : public CCardFile {
 public:
  using CCardFile::CCardFile;
  int32_t Flag() override {
    if (!flag_) {
      Learn();
    }
    return *flag_;
  }
  uint16_t Size() override {
    if (!size_) {
      Learn();
    }
    return *size_;
  }

 protected:
  // Selects the file, which fills in what is not known yet.
  virtual void Learn() = 0;
  void Keep(int32_t flag, uint16_t size) {
    if (!flag_) {
      flag_ = flag;
    }
    if (!size_) {
      size_ = size;
    }
  }
};

class CVexilK1File final : public CCachedFile {
 public:
  using CCachedFile::CCachedFile;
  void Fill(const K1SelectInfo& s) { Keep(s.flag, s.size); }
  void Delete() override {
    ChannelLock lock(token_->Channel());
    K1SelectPath(token_->Channel(), path_);
    CApdu c = K1Command(0xE2, {kK1File}, 0);
    c.SendChecked(token_->Channel());
  }
  void Write(std::span<const uint8_t> data, uint16_t offset) override {
    ChannelLock lock(token_->Channel());
    Fill(K1SelectPath(token_->Channel(), path_));
    CheckWrite(data.size(), offset, *size_);
    size_t done = 0;
    do {
      const size_t n = std::min<size_t>(kFsChunk, data.size() - done);
      std::vector<uint8_t> d;
      d.reserve(4 + n);
      PutLe16(d, static_cast<uint16_t>(offset + done));
      PutLe16(d, static_cast<uint16_t>(n));
      d.insert(d.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
               data.begin() + static_cast<std::ptrdiff_t>(done + n));
      CApdu c = K1Command(0xD0, d, 0);
      c.SendChecked(token_->Channel());
      done += n;
    } while (done < data.size());
  }
  std::vector<uint8_t> Read(uint16_t offset, uint16_t count) override {
    ChannelLock lock(token_->Channel());
    Fill(K1SelectPath(token_->Channel(), path_));
    std::vector<uint8_t> out;
    if (offset >= *size_) {
      return out;
    }
    const uint32_t want = std::min<uint32_t>(count, static_cast<uint32_t>(*size_ - offset));
    out.reserve(want);
    while (out.size() < want) {
      const auto n = static_cast<uint16_t>(std::min<size_t>(kFsChunk, want - out.size()));
      std::vector<uint8_t> d;
      PutLe16(d, static_cast<uint16_t>(offset + out.size()));
      PutLe16(d, n);
      CApdu c = K1Command(0xB0, d, n);
      c.SendChecked(token_->Channel());
      // The caller takes min(count, rest) bytes as read: fewer is a failure,
      // and asking again for the same bytes could go on for ever.
      if (c.Data().size() != n) {
        VX_THROW(kCardDeviceError);
      }
      out.insert(out.end(), c.Data().begin(), c.Data().end());
    }
    return out;
  }

 private:
  void Learn() override {
    ChannelLock lock(token_->Channel());
    Fill(K1SelectPath(token_->Channel(), path_));
  }
};

class CVexilK1Dir final : public CCardDir {
 public:
  CVexilK1Dir(std::shared_ptr<CVexilToken> token, std::vector<uint16_t> path, std::optional<int32_t> flag)
      : CCardDir(std::move(token), std::move(path)), flag_(flag) {}

  int32_t Flag() override {
    if (!flag_) {
      ChannelLock lock(Ch());
      SelectSelf();
    }
    return *flag_;
  }
  void Delete() override {
    ChannelLock lock(Ch());
    SelectSelf();
    CApdu c = K1Command(0xE2, {kK1Dir}, 0);
    c.SendChecked(Ch());
  }
  std::shared_ptr<CCardDir> Parent() override {
    if (path_.size() < 2) {
      VX_THROW(kEInvalidArg);
    }
    return std::make_shared<CVexilK1Dir>(token_, std::vector<uint16_t>(path_.begin(), path_.end() - 1), std::nullopt);
  }
  std::shared_ptr<CCardDir> CreateDir(uint16_t id, int32_t flag) override {
    const int32_t f = flag != 0 ? 1 : 0;
    Create(kK1Dir, f, 0, id);
    return std::make_shared<CVexilK1Dir>(token_, Child(path_, id), f);
  }
  std::shared_ptr<CCardDir> OpenDir(uint16_t id) override {
    ChannelLock lock(Ch());
    SelectSelf();
    const K1SelectInfo s = K1SelectBelow(Ch(), id);
    if (s.type != kK1Dir) {
      VX_THROW(kCardNotFound);
    }
    return std::make_shared<CVexilK1Dir>(token_, Child(path_, id), s.flag);
  }
  std::vector<std::shared_ptr<CCardDir>> ListDirs() override {
    std::vector<std::shared_ptr<CCardDir>> out;
    for (uint16_t id : List(kK1Dir)) {
      out.push_back(std::make_shared<CVexilK1Dir>(token_, Child(path_, id), std::nullopt));
    }
    return out;
  }
  bool Exists(uint16_t id) override {
    ChannelLock lock(Ch());
    SelectSelf();
    return Found([&] { K1SelectBelow(Ch(), id); });
  }
  std::shared_ptr<CCardFile> CreateFile(uint16_t id, uint16_t size, int32_t flag) override {
    const int32_t f = flag != 0 ? 1 : 0;
    Create(kK1File, f, size, id);
    auto file = std::make_shared<CVexilK1File>(token_, Child(path_, id));
    file->Fill({kK1File, f, size});
    return file;
  }
  std::shared_ptr<CCardFile> OpenFile(uint16_t id) override {
    ChannelLock lock(Ch());
    SelectSelf();
    const K1SelectInfo s = K1SelectBelow(Ch(), id);
    if (s.type != kK1File) {
      VX_THROW(kCardNotFound);
    }
    auto file = std::make_shared<CVexilK1File>(token_, Child(path_, id));
    file->Fill(s);
    return file;
  }
  std::vector<std::shared_ptr<CCardFile>> ListFiles() override {
    std::vector<std::shared_ptr<CCardFile>> out;
    for (uint16_t id : List(kK1File)) {
      out.push_back(std::make_shared<CVexilK1File>(token_, Child(path_, id)));
    }
    return out;
  }

 private:
  CCardChannel& Ch() { return token_->Channel(); }
  void SelectSelf() {
    const K1SelectInfo s = K1SelectPath(Ch(), path_);
    if (!flag_) {
      flag_ = s.flag;
    }
  }
  void Create(uint8_t type, int32_t flag, uint16_t size, uint16_t id) {
    ChannelLock lock(Ch());
    SelectSelf();
    std::vector<uint8_t> d = {type, static_cast<uint8_t>(flag)};
    PutLe16(d, size);
    PutLe16(d, id);
    CApdu c = K1Command(0xE0, d, 0);
    c.SendChecked(Ch());
  }
  std::vector<uint16_t> List(uint8_t type) {
    ChannelLock lock(Ch());
    SelectSelf();
    CApdu c = K1Command(0xD2, {0x00, 0x00, type}, static_cast<uint32_t>(kK1ListAnswer));
    c.SendChecked(Ch());
    return ParseK1List(c.Data());
  }

  std::optional<int32_t> flag_;
};

// ---- newer card OS ----

// SELECT by path from the MF; the path is given from 3F00, which is left out.
// P2 0C asks for no answer, 00 for the FCI.
CApdu K2SelectByPath(CCardChannel& ch, const std::vector<uint16_t>& path, uint8_t p2, uint8_t le) {
  if (path.size() < 2 || path.size() > 128) {
    VX_THROW(kEInvalidArg);
  }
  std::vector<uint8_t> d;
  for (size_t i = 1; i < path.size(); ++i) {
    PutBe16(d, path[i]);
  }
  CApdu c = K2Command(0x00, 0xA4, 0x08, p2, d, le);
  c.SendChecked(ch);
  return c;
}

void K2SelectPath(CCardChannel& ch, const std::vector<uint16_t>& path) { K2SelectByPath(ch, path, 0x0C, 0x00); }

K2FciInfo K2SelectPathFci(CCardChannel& ch, const std::vector<uint16_t>& path) {
  const CApdu c = K2SelectByPath(ch, path, 0x00, kK2FciLe);
  return ParseK2Fci(c.Data());
}

// DELETE FILE of the last object of `path`, selected from its folder.
void K2DeleteLast(CCardChannel& ch, const std::vector<uint16_t>& path) {
  K2SelectPath(ch, std::vector<uint16_t>(path.begin(), path.end() - 1));
  std::vector<uint8_t> d;
  PutBe16(d, path.back());
  CApdu c = K2Command(0x00, 0xE4, 0x00, 0x00, d, 0x00);
  c.SendChecked(ch);
}

K2FciInfo K2SelectIdFci(CCardChannel& ch, uint16_t id) {
  std::vector<uint8_t> d;
  PutBe16(d, id);
  CApdu c = K2Command(0x00, 0xA4, 0x00, 0x00, d, kK2FciLe);
  c.SendChecked(ch);
  return ParseK2Fci(c.Data());
}

int32_t K2FileFlag(const K2FciInfo& f) {
  return f.ac && std::equal(f.ac->begin(), f.ac->end(), kAcFile1.begin(), kAcFile1.end()) ? 1 : 0;
}

class CVexilK2File final : public CCachedFile {
 public:
  using CCachedFile::CCachedFile;
  void Fill(const K2FciInfo& f) { Keep(K2FileFlag(f), f.size); }
  void Delete() override {
    ChannelLock lock(Ch());
    K2DeleteLast(Ch(), path_);
  }
  void Write(std::span<const uint8_t> data, uint16_t offset) override {
    ChannelLock lock(Ch());
    CheckWrite(data.size(), offset, Size());
    K2SelectPath(Ch(), path_);
    for (size_t done = 0; done < data.size();) {
      const size_t n = std::min<size_t>(kFsChunk, data.size() - done);
      const auto at = static_cast<uint16_t>(offset + done);
      CApdu c = K2Command(0x00, 0xD6, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at),
                          std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(done),
                                               data.begin() + static_cast<std::ptrdiff_t>(done + n)),
                          0x00);
      c.SendChecked(Ch());
      done += n;
    }
  }
  std::vector<uint8_t> Read(uint16_t offset, uint16_t count) override {
    ChannelLock lock(Ch());
    const uint16_t size = Size();
    K2SelectPath(Ch(), path_);
    std::vector<uint8_t> out;
    if (offset >= size) {
      return out;
    }
    const uint32_t want = std::min<uint32_t>(count, static_cast<uint32_t>(size - offset));
    out.reserve(want);
    while (out.size() < want) {
      const auto n = static_cast<uint8_t>(std::min<size_t>(kFsChunk, want - out.size()));
      const auto at = static_cast<uint16_t>(offset + out.size());
      CApdu c = K2Command(0x00, 0xB0, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at), {}, n);
      c.SendChecked(Ch());
      // The caller takes min(count, rest) bytes as read; fewer is a failure.
      if (c.Data().size() != n) {
        VX_THROW(kCardDeviceError);
      }
      out.insert(out.end(), c.Data().begin(), c.Data().end());
    }
    return out;
  }

 private:
  CCardChannel& Ch() { return token_->Channel(); }
  void Learn() override {
    ChannelLock lock(Ch());
    Fill(K2SelectPathFci(Ch(), path_));
  }
};

class CVexilK2Dir final : public CCardDir {
 public:
  using CCardDir::CCardDir;

  int32_t Flag() override { return 0; }
  void Delete() override {
    ChannelLock lock(Ch());
    K2DeleteLast(Ch(), path_);
  }
  std::shared_ptr<CCardDir> Parent() override {
    if (path_.size() < 2) {
      VX_THROW(kEInvalidArg);
    }
    return std::make_shared<CVexilK2Dir>(token_, std::vector<uint16_t>(path_.begin(), path_.end() - 1));
  }
  std::shared_ptr<CCardDir> CreateDir(uint16_t id, int32_t /*flag: directories carry none*/) override {
    Create(kK2Dir, 0xFFFF, id, kAcDir);
    return std::make_shared<CVexilK2Dir>(token_, Child(path_, id));
  }
  std::shared_ptr<CCardDir> OpenDir(uint16_t id) override {
    ChannelLock lock(Ch());
    K2SelectPath(Ch(), path_);
    const K2FciInfo f = K2SelectIdFci(Ch(), id);
    if (f.type != kK2Dir) {
      VX_THROW(kCardNotFound);
    }
    return std::make_shared<CVexilK2Dir>(token_, Child(path_, f.id));
  }
  std::vector<std::shared_ptr<CCardDir>> ListDirs() override {
    std::vector<std::shared_ptr<CCardDir>> out;
    for (uint16_t id : List(0x00, kK2Dir)) {
      out.push_back(std::make_shared<CVexilK2Dir>(token_, Child(path_, id)));
    }
    return out;
  }
  bool Exists(uint16_t id) override {
    ChannelLock lock(Ch());
    K2SelectPath(Ch(), path_);
    std::vector<uint8_t> d;
    PutBe16(d, id);
    CApdu c = K2Command(0x00, 0xA4, 0x00, 0x0C, d, 0x00);
    return Found([&] { c.SendChecked(Ch()); });
  }
  std::shared_ptr<CCardFile> CreateFile(uint16_t id, uint16_t size, int32_t flag) override {
    const std::array<uint8_t, 9>& ac = flag != 0 ? kAcFile1 : kAcFile0;
    Create(kK2File, size, id, ac);
    auto file = std::make_shared<CVexilK2File>(token_, Child(path_, id));
    K2FciInfo f;
    f.size = size;
    f.ac = std::vector<uint8_t>(ac.begin(), ac.end());
    file->Fill(f);
    return file;
  }
  std::shared_ptr<CCardFile> OpenFile(uint16_t id) override {
    ChannelLock lock(Ch());
    K2SelectPath(Ch(), path_);
    const K2FciInfo f = K2SelectIdFci(Ch(), id);
    if (f.type != kK2File) {
      VX_THROW(kCardNotFound);
    }
    auto file = std::make_shared<CVexilK2File>(token_, Child(path_, f.id));
    file->Fill(f);
    return file;
  }
  std::vector<std::shared_ptr<CCardFile>> ListFiles() override {
    std::vector<std::shared_ptr<CCardFile>> out;
    for (uint16_t id : List(0x01, kK2File)) {
      out.push_back(std::make_shared<CVexilK2File>(token_, Child(path_, id)));
    }
    return out;
  }

 private:
  CCardChannel& Ch() { return token_->Channel(); }
  void Create(uint8_t type, uint16_t size, uint16_t id, const std::array<uint8_t, 9>& ac) {
    std::vector<uint8_t> t = {0x6F, 0x37, 0x81, 0x02};
    PutBe16(t, size);
    t.insert(t.end(), {0x82, 0x03, type, 0xFF, 0x00, 0x83, 0x02});
    PutBe16(t, id);
    t.insert(t.end(), {0x85, 0x03, 0x01, 0x00, 0x00, 0x86, 0x09});
    t.insert(t.end(), ac.begin(), ac.end());
    t.insert(t.end(), {0x8B, 0x18});
    t.insert(t.end(), 24, 0xFF);
    ChannelLock lock(Ch());
    K2SelectPath(Ch(), path_);
    CApdu c = K2Command(0x00, 0xE0, 0x00, 0x00, t, 0x00);
    c.SendChecked(Ch());
  }
  std::vector<uint16_t> List(uint8_t p1, uint8_t wanted) {
    ChannelLock lock(Ch());
    K2SelectPath(Ch(), path_);
    std::vector<uint16_t> ids;
    std::set<uint8_t> seen;
    uint8_t cont = 0;
    for (int round = 0;; ++round) {
      // A card that hands back a continuation it gave before would be
      // asked for ever.
      if (round >= kK2MaxListRounds || !seen.insert(cont).second) {
        VX_THROW(kCardDeviceError);
      }
      CApdu c = K2Command(0x80, 0x16, p1, cont, {}, 0xFD);
      c.SendChecked(Ch());
      const K2ListPage page = ParseK2ListPage(c.Data(), wanted);
      ids.insert(ids.end(), page.ids.begin(), page.ids.end());
      if (!page.next) {
        return ids;
      }
      cont = *page.next;
    }
  }
};

}  // namespace

K1SelectInfo ParseK1Select(std::span<const uint8_t> answer) {
  if (answer.size() < CVexilK1Token::kSelectAnswer) {
    VX_THROW(kScardFCommError);
  }
  return {answer[2], answer[3] == 1 ? 1 : 0, static_cast<uint16_t>(answer[4] | answer[5] << 8)};
}

std::vector<uint16_t> ParseK1List(std::span<const uint8_t> answer) {
  if (answer.size() < 2) {
    VX_THROW(kScardFCommError);
  }
  const size_t claimed = static_cast<size_t>(answer[0] | answer[1] << 8);
  const size_t count = std::min(claimed, (answer.size() - 2) / 2);
  std::vector<uint16_t> ids;
  ids.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    ids.push_back(static_cast<uint16_t>(answer[2 + 2 * i] | answer[3 + 2 * i] << 8));
  }
  return ids;
}

K2FciInfo ParseK2Fci(std::span<const uint8_t> answer) {
  K2FciInfo f;
  const auto desc = FindFciTag(answer, 0x82);
  const auto id = FindFciTag(answer, 0x83);
  if (!desc || desc->empty() || !id || id->size() != 2) {
    VX_THROW(kScardFCommError);
  }
  f.type = (*desc)[0];
  f.id = static_cast<uint16_t>((*id)[0] << 8 | (*id)[1]);
  if (const auto size = FindFciTag(answer, 0x81); size && size->size() == 2) {
    f.size = static_cast<uint16_t>((*size)[0] << 8 | (*size)[1]);
  } else if (f.type != kK2Dir) {
    VX_THROW(kScardFCommError);
  }
  if (const auto ac = FindFciTag(answer, 0x86)) {
    f.ac = std::vector<uint8_t>(ac->begin(), ac->end());
  }
  return f;
}

K2ListPage ParseK2ListPage(std::span<const uint8_t> answer, uint8_t wantedType) {
  K2ListPage page;
  bool hasNext = false;
  uint8_t next = 0;
  size_t pos = 0;
  while (pos + 2 <= answer.size()) {
    const size_t len = answer[pos + 1];
    if (answer[pos] != 0x6F || len > answer.size() - pos - 2) {
      // Garbage or an entry that runs past the answer: the card is not
      // telling a listing, and a partial one would pass for the whole.
      VX_THROW(kScardFCommError);
    }
    const std::span<const uint8_t> e = answer.subspan(pos + 2, len);
    const auto type = FindTlv(e, 0x82);
    const auto id = FindTlv(e, 0x86);
    if (type && !type->empty() && id && id->size() >= 2 && (*type)[0] == wantedType) {
      page.ids.push_back(static_cast<uint16_t>((*id)[0] << 8 | (*id)[1]));
    }
    // Only the last template's continuation counts.
    const auto cont = FindTlv(e, 0x8A);
    hasNext = cont && !cont->empty();
    next = hasNext ? (*cont)[0] : 0;
    pos += 2 + len;
  }
  if (pos != answer.size()) {
    VX_THROW(kScardFCommError);
  }
  if (hasNext) {
    page.next = next;
  }
  return page;
}

std::shared_ptr<CCardDir> CardRootDir(const std::shared_ptr<CVexilToken>& token) {
  if (token->Kind() == TokenKind::K1) {
    return std::make_shared<CVexilK1Dir>(token, token->RootPath(), std::nullopt);
  }
  return std::make_shared<CVexilK2Dir>(token, token->RootPath());
}

std::vector<uint16_t> RootSelectorPath(uint16_t selector) {
  if (selector == 0x0001) {
    return {0xE00E};
  }
  if (selector >= 0xF001 && selector <= 0xF00B) {
    return {static_cast<uint16_t>(0xE000 + (selector - 0xF000))};
  }
  if (selector >= 0xF00C && selector <= 0xF011) {
    return {0xE015, static_cast<uint16_t>(0x0002 + (selector - 0xF00C))};
  }
  if (selector == 0xFFFF) {
    return {0xE015, 0x0001};
  }
  return {};
}

std::shared_ptr<CCardDir> SelectRootFolder(const std::shared_ptr<CVexilToken>& token, uint16_t selector) {
  const std::vector<uint16_t> ids = RootSelectorPath(selector);
  if (ids.empty()) {
    VX_THROW(kEInvalidArg);
  }
  std::shared_ptr<CCardDir> dir = CardRootDir(token);
  for (uint16_t id : ids) {
    std::shared_ptr<CCardDir> next;
    try {
      next = dir->OpenDir(id);
    } catch (const CAException&) {
      next = dir->CreateDir(id, 0);
    }
    dir = next;
  }
  return dir;
}

}  // namespace vxsdk
