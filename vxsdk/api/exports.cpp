// The 31 exports over the core. Every handle handed out is recorded in one
// table under a mutex and looked up before it is touched, so a null, stale,
// closed or foreign handle is refused with E_INVALIDARG instead of being
// dereferenced.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "vxsdk/api/vxsdk_api.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"
#include "vxsdk/token.h"
#include "vxsdk/token_fs.h"

namespace vxsdk {
namespace {

constexpr int32_t kSecurityNotSatisfied = static_cast<int32_t>(0x86E06982u);

class CHandleObject {
 public:
  explicit CHandleObject(int32_t type) : typeId(type) {}
  virtual ~CHandleObject() = default;
  CHandleObject(const CHandleObject&) = delete;
  CHandleObject& operator=(const CHandleObject&) = delete;

  int32_t typeId;
  std::shared_ptr<CVexilToken> token;
};

struct CToken final : CHandleObject {
  static constexpr int32_t kType = 1;
  CToken() : CHandleObject(kType) {}
  int32_t logins = 0;
};
struct CDir final : CHandleObject {
  static constexpr int32_t kType = 2;
  CDir() : CHandleObject(kType) {}
  std::shared_ptr<CCardDir> dir;
};
struct CTokenFile final : CHandleObject {
  static constexpr int32_t kType = 3;
  CTokenFile() : CHandleObject(kType) {}
  std::shared_ptr<CCardFile> file;
};
struct CDirs final : CHandleObject {
  static constexpr int32_t kType = 4;
  CDirs() : CHandleObject(kType) {}
  std::vector<std::shared_ptr<CCardDir>> items;
  size_t cursor = 0;
};
struct CFiles final : CHandleObject {
  static constexpr int32_t kType = 5;
  CFiles() : CHandleObject(kType) {}
  std::vector<std::shared_ptr<CCardFile>> items;
  size_t cursor = 0;
};
struct CReaders final : CHandleObject {
  static constexpr int32_t kType = 6;
  CReaders() : CHandleObject(kType) {}
  std::vector<ReaderEntry> items;
  size_t cursor = 0;
};

// The live handles: the address of each object's type-id word to the object.
class HandleTable {
 public:
  static HandleTable& Get() {
    static HandleTable t;
    return t;
  }
  template <typename T>
  T* Find(VXHandle h) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = live_.find(h);
    if (it == live_.end() || it->second->typeId != T::kType) {
      return nullptr;
    }
    return static_cast<T*>(it->second);
  }
  VXHandle Add(CHandleObject* obj) {
    VXHandle h = &obj->typeId;
    std::lock_guard<std::mutex> g(mutex_);
    live_[h] = obj;
    return h;
  }
  // Takes the object out of the table; null when the handle is not a live
  // one of that type (a double close finds nothing).
  template <typename T>
  std::unique_ptr<T> Take(VXHandle h) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = live_.find(h);
    if (it == live_.end() || it->second->typeId != T::kType) {
      return nullptr;
    }
    T* obj = static_cast<T*>(it->second);
    live_.erase(it);
    return std::unique_ptr<T>(obj);
  }

 private:
  std::mutex mutex_;
  std::map<VXHandle, CHandleObject*> live_;
};

// An SDK exception becomes its code; anything else E_FAIL.
template <typename F>
int32_t Run(F&& f) {
  try {
    f();
    return VX_OK;
  } catch (const CAException& e) {
    return e.Code();
  } catch (...) {
    return VX_E_FAIL;
  }
}

// Tests the handle, then runs the operation on its object.
template <typename T, typename F>
int32_t WithHandle(VXHandle h, F&& f) {
  T* obj = HandleTable::Get().Find<T>(h);
  if (obj == nullptr) {
    return VX_E_INVALIDARG;
  }
  return Run([&] { f(*obj); });
}

template <typename T>
int32_t Close(VXHandle h) {
  std::unique_ptr<T> obj = HandleTable::Get().Take<T>(h);
  if (!obj) {
    return VX_E_INVALIDARG;
  }
  return Run([&] { obj.reset(); });
}

// Builds a handle object; `out` is written only when everything succeeded.
template <typename T, typename F>
int32_t Create(VXHandle* out, F&& fill) {
  std::unique_ptr<T> obj(new (std::nothrow) T());
  if (!obj) {
    return VX_E_OUTOFMEMORY;
  }
  const int32_t rc = Run([&] { fill(*obj); });
  if (rc != VX_OK) {
    return rc;
  }
  *out = HandleTable::Get().Add(obj.release());
  return VX_OK;
}

size_t PinLength(const char* pin) { return pin == nullptr ? 0 : std::strlen(pin); }

// Copies text into a caller's buffer: cut to fit, always NUL-terminated
// inside the buffer, nothing at all for size 0; a null buffer asks for the
// size needed.
void CopyOut(const std::string& text, char* buffer, uint32_t* size) {
  if (buffer == nullptr) {
    *size = static_cast<uint32_t>(text.size() + 1);
    return;
  }
  if (*size == 0) {
    return;
  }
  const size_t n = std::min<size_t>(text.size(), *size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

template <typename Enum>
int32_t EnumNext(VXHandle h, VXObjectInfo* info) {
  return WithHandle<Enum>(h, [&](Enum& e) {
    if (info == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    if (e.cursor >= e.items.size()) {
      VX_THROW(VX_E_NO_MORE_ITEMS);
    }
    // Moved on first: an entry that cannot be read does not hold up the rest.
    const auto& item = e.items[e.cursor++];
    VXObjectInfo r{};
    r.id = item->Id();
    r.flags = item->Flag();
    r.size = item->Size();
    *info = r;
  });
}

}  // namespace
}  // namespace vxsdk

using vxsdk::CardBracket;
using vxsdk::CDir;
using vxsdk::CDirs;
using vxsdk::CFiles;
using vxsdk::CReaders;
using vxsdk::CToken;
using vxsdk::CTokenFile;

extern "C" {

int32_t VXReadersEnumOpen(VXHandle* out) {
  if (out == nullptr) {
    return VX_E_INVALIDARG;
  }
  return vxsdk::Create<CReaders>(out, [](CReaders& r) { r.items = vxsdk::CReaderRegistry::Instance().ListReaders(); });
}

int32_t VXReadersEnumNext(VXHandle readers, VXReaderInfo* info) {
  return vxsdk::WithHandle<CReaders>(readers, [&](CReaders& r) {
    if (info == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    if (r.cursor >= r.items.size()) {
      VX_THROW(VX_E_NO_MORE_ITEMS);
    }
    const vxsdk::ReaderEntry& e = r.items[r.cursor++];
    VXReaderInfo out{};
    const size_t n = std::min(e.name.size(), sizeof out.name - 1);
    std::memcpy(out.name, e.name.data(), n);
    out.token_present = e.present;
    *info = out;
  });
}

int32_t VXReadersEnumClose(VXHandle readers) { return vxsdk::Close<CReaders>(readers); }

int32_t VXTokenBind(VXHandle* out, const char* reader) {
  if (out == nullptr) {
    return VX_E_INVALIDARG;
  }
  if (reader == nullptr) {
    return VX_E_POINTER;
  }
  return vxsdk::Create<CToken>(out,
                               [&](CToken& t) { t.token = vxsdk::CReaderRegistry::Instance().BindReader(reader); });
}

int32_t VXTokenUnbind(VXHandle token) { return vxsdk::Close<CToken>(token); }

int32_t VXTokenLogin(VXHandle token, const char* pin) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    CardBracket b(*t.token);
    t.token->Login(reinterpret_cast<const uint8_t*>(pin), vxsdk::PinLength(pin));
    ++t.logins;
  });
}

int32_t VXTokenLogout(VXHandle token) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (t.logins == 0) {
      VX_THROW(vxsdk::kSecurityNotSatisfied);
    }
    CardBracket b(*t.token);
    t.token->Logout();
    --t.logins;
  });
}

int32_t VXTokenPinChange(VXHandle token, const char* newPin) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (t.logins == 0) {
      VX_THROW(vxsdk::kSecurityNotSatisfied);
    }
    CardBracket b(*t.token);
    t.token->ChangePin(reinterpret_cast<const uint8_t*>(newPin), vxsdk::PinLength(newPin));
  });
}

int32_t VXTokenLabelGet(VXHandle token, char* label, uint32_t* size) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (size == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    std::string text;
    {
      CardBracket b(*t.token);
      text = t.token->Label();
    }
    vxsdk::CopyOut(text, label, size);
  });
}

int32_t VXTokenIDGet(VXHandle token, char* id, uint32_t* size) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (size == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    std::vector<uint8_t> serial;
    {
      CardBracket b(*t.token);
      serial = t.token->Serial();
    }
    std::string hex;
    for (uint8_t x : serial) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", x);
      hex += two;
    }
    vxsdk::CopyOut(hex, id, size);
  });
}

int32_t VXTokenMaxPinGet(VXHandle token, int32_t* length) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (length == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    CardBracket b(*t.token);
    *length = t.token->MaxPinLength();
  });
}

int32_t VXTokenMinPinGet(VXHandle token, int32_t* length) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (length == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    CardBracket b(*t.token);
    *length = t.token->MinPinLength();
  });
}

int32_t VXRootDirOpen(VXHandle* out, VXHandle token, uint16_t selector) {
  return vxsdk::WithHandle<CToken>(token, [&](CToken& t) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CDir>(out, [&](CDir& d) {
      CardBracket b(*t.token);
      d.dir = vxsdk::SelectRootFolder(t.token, selector);
      d.token = t.token;
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXDirCreate(VXHandle* out, uint16_t id, VXHandle dir, int32_t flag) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& parent) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CDir>(out, [&](CDir& d) {
      CardBracket b(*parent.token);
      d.dir = parent.dir->CreateDir(id, flag != 0 ? 1 : 0);
      d.token = parent.token;
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXDirOpen(VXHandle* out, uint16_t id, VXHandle dir) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& parent) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CDir>(out, [&](CDir& d) {
      CardBracket b(*parent.token);
      d.dir = parent.dir->OpenDir(id);
      d.token = parent.token;
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXDirGetInfo(VXHandle dir, VXObjectInfo* info) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    if (info == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    CardBracket b(*d.token);
    VXObjectInfo r{};
    r.id = d.dir->Id();
    r.flags = d.dir->Flag();
    r.size = 0;
    *info = r;
  });
}

int32_t VXDirDelete(VXHandle dir) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    CardBracket b(*d.token);
    d.dir->Delete();
  });
}

int32_t VXDirClose(VXHandle dir) { return vxsdk::Close<CDir>(dir); }

int32_t VXDirEnumOpen(VXHandle* out, VXHandle dir) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CDirs>(out, [&](CDirs& e) {
      CardBracket b(*d.token);
      e.items = d.dir->ListDirs();
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXDirEnumNext(VXHandle dirs, VXObjectInfo* info) { return vxsdk::EnumNext<CDirs>(dirs, info); }

int32_t VXDirEnumClose(VXHandle dirs) { return vxsdk::Close<CDirs>(dirs); }

int32_t VXFilesEnumOpen(VXHandle* out, VXHandle dir) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CFiles>(out, [&](CFiles& e) {
      CardBracket b(*d.token);
      e.items = d.dir->ListFiles();
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXFilesEnumNext(VXHandle files, VXObjectInfo* info) { return vxsdk::EnumNext<CFiles>(files, info); }

int32_t VXFilesEnumClose(VXHandle files) { return vxsdk::Close<CFiles>(files); }

int32_t VXFileOpen(VXHandle* out, VXHandle dir, uint16_t id) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CTokenFile>(out, [&](CTokenFile& f) {
      CardBracket b(*d.token);
      f.file = d.dir->OpenFile(id);
      f.token = d.token;
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXFileCreate(VXHandle* out, VXHandle dir, uint16_t id, uint16_t size, int32_t flag) {
  return vxsdk::WithHandle<CDir>(dir, [&](CDir& d) {
    if (out == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    const int32_t rc = vxsdk::Create<CTokenFile>(out, [&](CTokenFile& f) {
      CardBracket b(*d.token);
      f.file = d.dir->CreateFile(id, size, flag != 0 ? 1 : 0);
      f.token = d.token;
    });
    if (rc != VX_OK) {
      VX_THROW(rc);
    }
  });
}

int32_t VXFileRead(VXHandle file, uint16_t offset, uint16_t count, uint8_t* buffer, uint32_t bufferSize) {
  return vxsdk::WithHandle<CTokenFile>(file, [&](CTokenFile& f) {
    CardBracket b(*f.token);
    const uint16_t size = f.file->Size();
    if (offset > size) {
      VX_THROW(VX_E_INVALIDARG);
    }
    const uint32_t need = std::min<uint32_t>(count, static_cast<uint32_t>(size - offset));
    if (bufferSize < need) {
      VX_THROW(VX_E_INVALIDARG);
    }
    if (buffer == nullptr || need == 0) {
      return;
    }
    const std::vector<uint8_t> got = f.file->Read(offset, count);
    std::memcpy(buffer, got.data(), std::min<size_t>(got.size(), need));
  });
}

int32_t VXFileWrite(VXHandle file, uint16_t offset, const uint8_t* data, uint16_t count) {
  return vxsdk::WithHandle<CTokenFile>(file, [&](CTokenFile& f) {
    if (data == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    CardBracket b(*f.token);
    if (static_cast<uint32_t>(offset) + count > f.file->Size()) {
      VX_THROW(VX_E_INVALIDARG);
    }
    f.file->Write({data, count}, offset);
  });
}

int32_t VXFileDelete(VXHandle file) {
  return vxsdk::WithHandle<CTokenFile>(file, [&](CTokenFile& f) {
    CardBracket b(*f.token);
    f.file->Delete();
  });
}

int32_t VXFileGetInfo(VXHandle file, VXObjectInfo* info) {
  return vxsdk::WithHandle<CTokenFile>(file, [&](CTokenFile& f) {
    if (info == nullptr) {
      VX_THROW(VX_E_POINTER);
    }
    CardBracket b(*f.token);
    VXObjectInfo r{};
    r.id = f.file->Id();
    r.flags = f.file->Flag();
    r.size = f.file->Size();
    *info = r;
  });
}

int32_t VXFileClose(VXHandle file) { return vxsdk::Close<CTokenFile>(file); }

}  // extern "C"
