#include "vxsdk/registry.h"

#include <strings.h>

#include <cctype>

#include "vxsdk/ca_exception.h"

namespace vxsdk {
namespace {

bool SameNameNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

bool CReaderRegistry::NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

CReaderRegistry& CReaderRegistry::Instance() {
  static CReaderRegistry registry;
  return registry;
}

std::vector<ReaderEntry> CReaderRegistry::ListReaders() {
  std::vector<ReaderEntry> out;
  EnumPcscReaders([&](const std::string& name, const PcscReaderState& st) {
    out.push_back({name, (st.eventState & kPcscStatePresent) != 0 ? 1 : 0});
  });
  return out;
}

std::shared_ptr<CVexilToken> CReaderRegistry::TokenFor(const std::string& reader, TokenKind kind) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = map_.find(reader);
  if (it != map_.end() && it->second.kind == kind && it->second.token) {
    std::shared_ptr<CVexilToken> t = it->second.token;
    if (t->SameCard()) {
      return t;
    }
  }
  std::shared_ptr<CCardChannel> ch = CCardChannel::Open(reader, kPcscShareShared);
  std::shared_ptr<CVexilToken> t;
  if (kind == TokenKind::K1) {
    t = std::make_shared<CVexilK1Token>(ch);
  } else {
    t = std::make_shared<CVexilK2Token>(ch);
  }
  map_.insert_or_assign(reader, Entry{kind, t});
  return t;
}

std::vector<std::shared_ptr<CVexilToken>> CReaderRegistry::Tokens(int kindFilter) {
  std::vector<std::shared_ptr<CVexilToken>> out;
  EnumPcscReaders([&](const std::string& name, const PcscReaderState& st) {
    if ((st.eventState & kPcscStatePresent) == 0) {
      return;
    }
    const auto kind = KindFromAtr(st.atr, st.atrLen);
    if (!kind || (kindFilter >= 0 && static_cast<int>(*kind) != kindFilter)) {
      return;
    }
    try {
      out.push_back(TokenFor(name, *kind));
    } catch (const CAException&) {
      // A reader whose token cannot be opened is left out of the list.
    }
  });
  return out;
}

std::vector<std::shared_ptr<CVexilToken>> CReaderRegistry::ListTokens() { return Tokens(-1); }
std::vector<std::shared_ptr<CVexilToken>> CReaderRegistry::ListK1Tokens() {
  return Tokens(static_cast<int>(TokenKind::K1));
}
std::vector<std::shared_ptr<CVexilToken>> CReaderRegistry::ListK2Tokens() {
  return Tokens(static_cast<int>(TokenKind::K2));
}

std::shared_ptr<CVexilToken> CReaderRegistry::BindReader(const std::string& name) {
  std::shared_ptr<CVexilToken> found;
  EnumPcscReaders([&](const std::string& reader, const PcscReaderState& st) {
    if (found || !SameNameNoCase(reader, name) || (st.eventState & kPcscStatePresent) == 0) {
      return;
    }
    const auto kind = KindFromAtr(st.atr, st.atrLen);
    if (!kind) {
      return;
    }
    try {
      found = TokenFor(reader, *kind);
    } catch (const CAException&) {
      // Skipped like any reader without a usable token.
    }
  });
  if (!found) {
    VX_THROW(kScardENoSmartcard);
  }
  return found;
}

#ifdef QCRYPTO_TEST_HOOKS
void CReaderRegistry::ClearForTest() {
  std::lock_guard<std::mutex> g(mutex_);
  map_.clear();
}

size_t CReaderRegistry::SizeForTest() {
  std::lock_guard<std::mutex> g(mutex_);
  return map_.size();
}
#endif

}  // namespace vxsdk
