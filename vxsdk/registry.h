// One card-OS object per reader while the library is loaded. The map's keys
// compare without regard to letter case; a bind compares whole names.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vxsdk/readers.h"
#include "vxsdk/token.h"

namespace vxsdk {

class CReaderRegistry {
 public:
  // The one registry, created on first use (thread-safe) and destroyed with
  // the library's other statics, which closes the connections it still
  // holds (see docs/ARCHITECTURE.md).
  static CReaderRegistry& Instance();

  std::vector<ReaderEntry> ListReaders();
  std::vector<std::shared_ptr<CVexilToken>> ListTokens();
  std::vector<std::shared_ptr<CVexilToken>> ListK1Tokens();
  std::vector<std::shared_ptr<CVexilToken>> ListK2Tokens();
  // The card-OS object of the token in the reader of that name (whole name,
  // any letter case); 0x8010000C when there is none.
  std::shared_ptr<CVexilToken> BindReader(const std::string& name);

#ifdef QCRYPTO_TEST_HOOKS
  void ClearForTest();
  size_t SizeForTest();
#endif

 private:
  CReaderRegistry() = default;
  struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  struct Entry {
    TokenKind kind;
    std::shared_ptr<CVexilToken> token;
  };
  std::vector<std::shared_ptr<CVexilToken>> Tokens(int kindFilter);
  std::shared_ptr<CVexilToken> TokenFor(const std::string& reader, TokenKind kind);

  std::mutex mutex_;
  std::map<std::string, Entry, NoCaseLess> map_;
};

}  // namespace vxsdk
