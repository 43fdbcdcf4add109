// Directories and files on the token, both generations. The objects keep no
// card state but their path and cached attributes: every operation selects
// its object again. Callers bracket operations with the token's Begin and
// End; each operation holds the channel lock while it sends its commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vxsdk/token.h"

namespace vxsdk {

class CCardFile;

// A card that answers inconsistently (a short read, a listing that loops).
inline constexpr int32_t kCardDeviceError = static_cast<int32_t>(0x86E06F00u);
inline constexpr int32_t kCardNotFound = static_cast<int32_t>(0x86E06A82u);
// Reads and writes go in commands of at most this many bytes.
inline constexpr uint16_t kFsChunk = 80;

class CCardDir {
 public:
  CCardDir(std::shared_ptr<CVexilToken> token, std::vector<uint16_t> path)
      : token_(std::move(token)), path_(std::move(path)) {}
  virtual ~CCardDir() = default;
  CCardDir(const CCardDir&) = delete;
  CCardDir& operator=(const CCardDir&) = delete;

  uint16_t Id() const { return path_.back(); }
  virtual int32_t Flag() = 0;
  uint16_t Size() const { return 0; }
  virtual void Delete() = 0;
  virtual std::shared_ptr<CCardDir> Parent() = 0;
  virtual std::shared_ptr<CCardDir> CreateDir(uint16_t id, int32_t flag) = 0;
  virtual std::shared_ptr<CCardDir> OpenDir(uint16_t id) = 0;
  virtual std::vector<std::shared_ptr<CCardDir>> ListDirs() = 0;
  // A not-found answer (6A 82 or 64 07) is false; other failures throw.
  virtual bool Exists(uint16_t id) = 0;
  virtual std::shared_ptr<CCardFile> CreateFile(uint16_t id, uint16_t size, int32_t flag) = 0;
  virtual std::shared_ptr<CCardFile> OpenFile(uint16_t id) = 0;
  virtual std::vector<std::shared_ptr<CCardFile>> ListFiles() = 0;

  const std::vector<uint16_t>& Path() const { return path_; }
  const std::shared_ptr<CVexilToken>& Token() const { return token_; }

 protected:
  std::shared_ptr<CVexilToken> token_;
  std::vector<uint16_t> path_;
};

class CCardFile {
 public:
  CCardFile(std::shared_ptr<CVexilToken> token, std::vector<uint16_t> path)
      : token_(std::move(token)), path_(std::move(path)) {}
  virtual ~CCardFile() = default;
  CCardFile(const CCardFile&) = delete;
  CCardFile& operator=(const CCardFile&) = delete;

  uint16_t Id() const { return path_.back(); }
  virtual int32_t Flag() = 0;
  virtual uint16_t Size() = 0;
  virtual void Delete() = 0;
  // Writes the bytes at `offset`; offset + length above the size is refused
  // with E_INVALIDARG before anything is sent.
  virtual void Write(std::span<const uint8_t> data, uint16_t offset) = 0;
  // Reads min(count, size - offset) bytes; nothing at or beyond the end. A
  // card that hands back fewer bytes than asked fails with 0x86E06F00.
  virtual std::vector<uint8_t> Read(uint16_t offset, uint16_t count) = 0;

  const std::vector<uint16_t>& Path() const { return path_; }

 protected:
  std::shared_ptr<CVexilToken> token_;
  std::vector<uint16_t> path_;
  std::optional<int32_t> flag_;
  std::optional<uint16_t> size_;
};

// The card root: 3F00 on the older OS, 3F00/6666 on the newer one.
std::shared_ptr<CCardDir> CardRootDir(const std::shared_ptr<CVexilToken>& token);

// The application folder of a root selector, opened or created with flag 0
// level by level; E_INVALIDARG for a selector outside the table.
std::shared_ptr<CCardDir> SelectRootFolder(const std::shared_ptr<CVexilToken>& token, uint16_t selector);

// The folder ids below the card root that a selector names; empty when the
// selector is not in the table.
std::vector<uint16_t> RootSelectorPath(uint16_t selector);

// Answer parsers, exposed for the fuzz target and the tests.
struct K1SelectInfo {
  uint8_t type = 0;
  int32_t flag = 0;
  uint16_t size = 0;
};
// The older OS's 8-byte select answer; a shorter one is a communication error.
K1SelectInfo ParseK1Select(std::span<const uint8_t> answer);
// The older OS's list answer: the ids it holds, the count bounded by the
// bytes received.
std::vector<uint16_t> ParseK1List(std::span<const uint8_t> answer);
struct K2FciInfo {
  uint8_t type = 0;
  uint16_t id = 0;
  uint16_t size = 0;
  std::optional<std::vector<uint8_t>> ac;
};
// The newer OS's FCI; a missing descriptor or id is a communication error.
K2FciInfo ParseK2Fci(std::span<const uint8_t> answer);
struct K2ListPage {
  std::vector<uint16_t> ids;  // entries of the wanted type
  std::optional<uint8_t> next;
};
K2ListPage ParseK2ListPage(std::span<const uint8_t> answer, uint8_t wantedType);

}  // namespace vxsdk
