// The 31 exports over the fake PC/SC: the handle table, result codes, the
// buffer rules of the label and serial, file bounds, enumerations, and the
// shared library's export list.
#include <dlfcn.h>

#include <cstring>

#include "tests/vxsdk/fake_fixture.h"
#include "vxsdk/api/vxsdk_api.h"

namespace {

using test_support::CardCore;
using test_support::Persona;
using vxsdk_test::FakeTest;

constexpr int32_t kSecurity = static_cast<int32_t>(0x86E06982u);
constexpr int32_t kNotFound = static_cast<int32_t>(0x86E06A82u);

const Persona kBoth[] = {Persona::K1, Persona::K2Short};

std::string Root(Persona p) { return p == Persona::K1 ? "3F00" : "3F00/6666"; }

class VxsdkExports : public FakeTest {
 protected:
  VXHandle Bind(Persona p, const std::string& fixture = "", bool login = true) {
    fake().Clear();
    vxsdk::CReaderRegistry::Instance().ClearForTest();
    InsertCard(p, fixture);
    VXHandle t = nullptr;
    EXPECT_EQ(VXTokenBind(&t, "R"), 0);
    if (login) {
      EXPECT_EQ(VXTokenLogin(t, "1234"), 0);
    }
    fake().trace.clear();
    return t;
  }
  // The brackets balance whatever happened.
  void ExpectBalanced() { EXPECT_EQ(fake().calls.begin, fake().calls.end); }
};

// Null, foreign, closed and made-up handles are refused by every export
// before anything is touched; the real handles stay usable afterwards.
TEST_F(VxsdkExports, ForeignNullAndClosedHandlesAreRefused) {
  VXHandle tok = Bind(Persona::K2Short, "file 3F00/6666/0001 10 0\n");
  VXHandle dir = nullptr, file = nullptr, dirs = nullptr, files = nullptr, readers = nullptr;
  ASSERT_EQ(VXRootDirOpen(&dir, tok, 0xF007), 0);
  VXHandle root = nullptr;
  ASSERT_EQ(VXDirOpen(&root, 0x6666, dir), kNotFound);  // not below E007
  ASSERT_EQ(VXDirEnumOpen(&dirs, dir), 0);
  ASSERT_EQ(VXFilesEnumOpen(&files, dir), 0);
  ASSERT_EQ(VXFileCreate(&file, dir, 0x0002, 10, 0), 0);
  ASSERT_EQ(VXReadersEnumOpen(&readers), 0);
  VXHandle closed = nullptr;
  ASSERT_EQ(VXFileOpen(&closed, dir, 0x0002), 0);
  ASSERT_EQ(VXFileClose(closed), 0);
  int32_t stackWord = 1;
  VXHandle made_up = &stackWord;
  VXHandle bad[] = {nullptr, closed, made_up, reinterpret_cast<VXHandle>(0x10)};
  const size_t commandsBefore = card_->commands();

  VXObjectInfo oi{};
  VXReaderInfo ri{};
  uint8_t buf[16] = {};
  uint32_t sz = sizeof buf;
  int32_t n = 0;
  VXHandle out = nullptr;
  // Each export with every handle that is not its own kind.
  struct Call {
    const char* name;
    VXHandle own;
    std::function<int32_t(VXHandle)> call;
  } calls[] = {
      {"ReadersEnumNext", readers, [&](VXHandle h) { return VXReadersEnumNext(h, &ri); }},
      {"TokenLogin", tok, [&](VXHandle h) { return VXTokenLogin(h, "1234"); }},
      {"TokenLogout", tok, [&](VXHandle h) { return VXTokenLogout(h); }},
      {"TokenPinChange", tok, [&](VXHandle h) { return VXTokenPinChange(h, "1234"); }},
      {"TokenLabelGet", tok, [&](VXHandle h) { return VXTokenLabelGet(h, reinterpret_cast<char*>(buf), &sz); }},
      {"TokenIDGet", tok, [&](VXHandle h) { return VXTokenIDGet(h, reinterpret_cast<char*>(buf), &sz); }},
      {"TokenMaxPinGet", tok, [&](VXHandle h) { return VXTokenMaxPinGet(h, &n); }},
      {"TokenMinPinGet", tok, [&](VXHandle h) { return VXTokenMinPinGet(h, &n); }},
      {"RootDirOpen", tok, [&](VXHandle h) { return VXRootDirOpen(&out, h, 0xF007); }},
      {"DirCreate", dir, [&](VXHandle h) { return VXDirCreate(&out, 0x0100, h, 0); }},
      {"DirOpen", dir, [&](VXHandle h) { return VXDirOpen(&out, 0x0100, h); }},
      {"DirGetInfo", dir, [&](VXHandle h) { return VXDirGetInfo(h, &oi); }},
      {"DirDelete", dir, [&](VXHandle h) { return VXDirDelete(h); }},
      {"DirEnumOpen", dir, [&](VXHandle h) { return VXDirEnumOpen(&out, h); }},
      {"DirEnumNext", dirs, [&](VXHandle h) { return VXDirEnumNext(h, &oi); }},
      {"FilesEnumOpen", dir, [&](VXHandle h) { return VXFilesEnumOpen(&out, h); }},
      {"FilesEnumNext", files, [&](VXHandle h) { return VXFilesEnumNext(h, &oi); }},
      {"FileOpen", dir, [&](VXHandle h) { return VXFileOpen(&out, h, 0x0002); }},
      {"FileCreate", dir, [&](VXHandle h) { return VXFileCreate(&out, h, 0x0003, 10, 0); }},
      {"FileRead", file, [&](VXHandle h) { return VXFileRead(h, 0, 4, buf, sizeof buf); }},
      {"FileWrite", file, [&](VXHandle h) { return VXFileWrite(h, 0, buf, 4); }},
      {"FileDelete", file, [&](VXHandle h) { return VXFileDelete(h); }},
      {"FileGetInfo", file, [&](VXHandle h) { return VXFileGetInfo(h, &oi); }},
      {"ReadersEnumClose", readers, [&](VXHandle h) { return VXReadersEnumClose(h); }},
      {"TokenUnbind", tok, [&](VXHandle h) { return VXTokenUnbind(h); }},
      {"DirClose", dir, [&](VXHandle h) { return VXDirClose(h); }},
      {"DirEnumClose", dirs, [&](VXHandle h) { return VXDirEnumClose(h); }},
      {"FilesEnumClose", files, [&](VXHandle h) { return VXFilesEnumClose(h); }},
      {"FileClose", file, [&](VXHandle h) { return VXFileClose(h); }},
  };
  const VXHandle all[] = {tok, dir, file, dirs, files, readers};
  for (const auto& c : calls) {
    SCOPED_TRACE(c.name);
    for (VXHandle h : bad) {
      out = reinterpret_cast<VXHandle>(0x5A5A);
      EXPECT_EQ(c.call(h), VX_E_INVALIDARG);
      EXPECT_EQ(out, reinterpret_cast<VXHandle>(0x5A5A)) << "out written on failure";
    }
    for (VXHandle h : all) {
      if (h != c.own) {
        EXPECT_EQ(c.call(h), VX_E_INVALIDARG);
      }
    }
  }
  EXPECT_EQ(card_->commands(), commandsBefore) << "a refused call reached the card";
  // Every object is still alive and answers.
  EXPECT_EQ(VXFileGetInfo(file, &oi), 0);
  EXPECT_EQ(oi.id, 0x0002);
  EXPECT_EQ(VXReadersEnumNext(readers, &ri), 0);
  EXPECT_STREQ(ri.name, "R");
  // Each closes once; the second close is refused.
  for (const auto& c : calls) {
    if (std::strstr(c.name, "Close") != nullptr || std::strcmp(c.name, "TokenUnbind") == 0) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(c.call(c.own), 0);
      EXPECT_EQ(c.call(c.own), VX_E_INVALIDARG);
    }
  }
  ExpectBalanced();
}

TEST_F(VxsdkExports, NullOutputPointers) {
  VXHandle tok = Bind(Persona::K1, "dir 3F00/E007\nfile 3F00/E007/0001 10 0\n");
  VXHandle dir = nullptr, file = nullptr;
  ASSERT_EQ(VXRootDirOpen(&dir, tok, 0xF007), 0);
  ASSERT_EQ(VXFileOpen(&file, dir, 0x0001), 0);
  EXPECT_EQ(VXReadersEnumOpen(nullptr), VX_E_INVALIDARG);
  EXPECT_EQ(VXTokenBind(nullptr, "R"), VX_E_INVALIDARG);
  VXHandle out = nullptr;
  EXPECT_EQ(VXTokenBind(&out, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXRootDirOpen(nullptr, tok, 0xF007), VX_E_POINTER);
  EXPECT_EQ(VXDirCreate(nullptr, 1, dir, 0), VX_E_POINTER);
  EXPECT_EQ(VXDirOpen(nullptr, 1, dir), VX_E_POINTER);
  EXPECT_EQ(VXDirEnumOpen(nullptr, dir), VX_E_POINTER);
  EXPECT_EQ(VXFilesEnumOpen(nullptr, dir), VX_E_POINTER);
  EXPECT_EQ(VXFileOpen(nullptr, dir, 1), VX_E_POINTER);
  EXPECT_EQ(VXFileCreate(nullptr, dir, 2, 1, 0), VX_E_POINTER);
  EXPECT_EQ(VXDirGetInfo(dir, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXFileGetInfo(file, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXFileWrite(file, 0, nullptr, 1), VX_E_POINTER);
  EXPECT_EQ(VXTokenMaxPinGet(tok, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXTokenMinPinGet(tok, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXTokenLabelGet(tok, nullptr, nullptr), VX_E_POINTER);
  EXPECT_EQ(VXTokenIDGet(tok, nullptr, nullptr), VX_E_POINTER);
  int32_t mn = 0, mx = 0;
  EXPECT_EQ(VXTokenMinPinGet(tok, &mn), 0);
  EXPECT_EQ(VXTokenMaxPinGet(tok, &mx), 0);
  EXPECT_EQ(mn, 4);
  EXPECT_EQ(mx, 16);
  EXPECT_EQ(VXFileClose(file), 0);
  EXPECT_EQ(VXDirClose(dir), 0);
  EXPECT_EQ(VXTokenUnbind(tok), 0);
  ExpectBalanced();
}

TEST_F(VxsdkExports, ReadersEnumerationEnds) {
  fake().Clear();
  for (int readers : {0, 2}) {
    SCOPED_TRACE(readers);
    fake().Clear();
    for (int i = 0; i < readers; ++i) {
      fake().AddReader(i == 0 ? "Reader A" : std::string(300, 'x'),
                       i == 0 ? std::make_shared<CardCore>(Persona::K1) : nullptr);
    }
    VXHandle e = nullptr;
    ASSERT_EQ(VXReadersEnumOpen(&e), 0);
    VXReaderInfo info{};
    for (int i = 0; i < readers; ++i) {
      ASSERT_EQ(VXReadersEnumNext(e, &info), 0);
      if (i == 0) {
        EXPECT_STREQ(info.name, "Reader A");
        EXPECT_EQ(info.token_present, 1);
      } else {
        EXPECT_EQ(std::strlen(info.name), 259u);
        EXPECT_EQ(info.token_present, 0);
      }
    }
    EXPECT_EQ(VXReadersEnumNext(e, &info), VX_E_NO_MORE_ITEMS);
    EXPECT_EQ(VXReadersEnumNext(e, &info), VX_E_NO_MORE_ITEMS);
    EXPECT_EQ(VXReadersEnumNext(e, nullptr), VX_E_POINTER);
    EXPECT_EQ(VXReadersEnumClose(e), 0);
  }
}

TEST_F(VxsdkExports, LoginsAreCountedInTheHandle) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    VXHandle t = Bind(p, "", false);
    EXPECT_EQ(VXTokenLogout(t), kSecurity);
    EXPECT_EQ(VXTokenPinChange(t, "5678"), kSecurity);
    EXPECT_TRUE(fake().trace.empty()) << "refused before reaching the card";
    EXPECT_NE(VXTokenLogin(t, "9999"), 0);
    EXPECT_EQ(VXTokenLogout(t), kSecurity) << "a failed login counted";
    EXPECT_EQ(VXTokenLogin(t, "1234"), 0);
    EXPECT_EQ(VXTokenLogin(t, "1234"), 0);
    // A second handle on the same token counts on its own.
    VXHandle t2 = nullptr;
    ASSERT_EQ(VXTokenBind(&t2, "R"), 0);
    EXPECT_EQ(VXTokenLogout(t2), kSecurity);
    EXPECT_EQ(VXTokenLogout(t), 0);
    EXPECT_EQ(VXTokenLogout(t), 0);
    EXPECT_EQ(VXTokenLogout(t), kSecurity);
    EXPECT_EQ(VXTokenUnbind(t2), 0);
    EXPECT_EQ(VXTokenUnbind(t), 0);
    ExpectBalanced();
  }
}

// Label and serial share the buffer rule: a null buffer asks for the size,
// a short one gets a cut text that still ends in a NUL inside it, size 0
// writes nothing.
TEST_F(VxsdkExports, LabelAndSerialBuffers) {
  using Getter = int32_t (*)(VXHandle, char*, uint32_t*);
  struct Case {
    const char* what;
    Getter get;
    std::string full;
  } cases[] = {{"serial", VXTokenIDGet, "deadbeef"}, {"label", VXTokenLabelGet, "My Token Label"}};
  for (Persona p : kBoth) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << test_support::PersonaName(p) << " " << c.what);
      VXHandle t = Bind(p, "serial DEADBEEF\nlabel My Token Label\n", false);
      uint32_t size = 0;
      ASSERT_EQ(c.get(t, nullptr, &size), 0);
      ASSERT_EQ(size, c.full.size() + 1);
      for (uint32_t given : {size, size + 5, 5u, 1u, 0u}) {
        SCOPED_TRACE(given);
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        uint32_t s = given;
        ASSERT_EQ(c.get(t, buf, &s), 0);
        EXPECT_EQ(s, given) << "size changed";
        if (given == 0) {
          EXPECT_EQ(buf[0], '#');
          continue;
        }
        const size_t n = std::min<size_t>(c.full.size(), given - 1);
        EXPECT_EQ(std::string(buf, n), c.full.substr(0, n));
        EXPECT_EQ(buf[n], '\0');
        EXPECT_EQ(buf[given], '#') << "written past the buffer";
      }
      EXPECT_EQ(VXTokenUnbind(t), 0);
    }
  }
}

TEST_F(VxsdkExports, FileBounds) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    std::string hex;
    for (int i = 0; i < 100; ++i) {
      char b[3];
      std::snprintf(b, sizeof b, "%02X", i);
      hex += b;
    }
    VXHandle t = Bind(p, "dir " + Root(p) + "/E007\nfile " + Root(p) + "/E007/0001 100 0 " + hex + "\n");
    VXHandle d = nullptr, f = nullptr;
    ASSERT_EQ(VXRootDirOpen(&d, t, 0xF007), 0);
    ASSERT_EQ(VXFileOpen(&f, d, 0x0001), 0);
    uint8_t buf[128];
    struct Read {
      uint16_t offset, count;
      uint32_t bufSize;
      int32_t rc;
      size_t got;
    } reads[] = {
        {100, 0, 0, 0, 0},       {101, 0, 128, VX_E_INVALIDARG, 0},    {40, 0xFFFF, 59, VX_E_INVALIDARG, 0},
        {40, 0xFFFF, 60, 0, 60}, {0, 10, 9, VX_E_INVALIDARG, 0},       {0, 10, 10, 0, 10},
        {99, 0xFFFF, 1, 0, 1},   {0xFFFF, 1, 128, VX_E_INVALIDARG, 0},
    };
    for (const auto& r : reads) {
      SCOPED_TRACE(testing::Message() << r.offset << "+" << r.count << " into " << r.bufSize);
      std::memset(buf, 0xEE, sizeof buf);
      EXPECT_EQ(VXFileRead(f, r.offset, r.count, buf, r.bufSize), r.rc);
      for (size_t i = 0; i < r.got; ++i) {
        ASSERT_EQ(buf[i], r.offset + i);
      }
      EXPECT_EQ(buf[r.got], 0xEE);
    }
    // A null buffer only checks the bounds.
    EXPECT_EQ(VXFileRead(f, 40, 0xFFFF, nullptr, 60), 0);
    const uint8_t ten[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(VXFileWrite(f, 95, ten, 10), VX_E_INVALIDARG);
    // 0xFFF0 + 0x20 wraps to 0x10 in 16 bits.
    const uint8_t d32[0x20] = {};
    EXPECT_EQ(VXFileWrite(f, 0xFFF0, d32, 0x20), VX_E_INVALIDARG);
    EXPECT_EQ(VXFileWrite(f, 90, ten, 10), 0);
    ASSERT_EQ(VXFileRead(f, 90, 10, buf, 10), 0);
    EXPECT_EQ(std::memcmp(buf, ten, 10), 0);
    // One select and ceil(n / 80) reads per read.
    fake().trace.clear();
    ASSERT_EQ(VXFileRead(f, 0, 100, buf, 100), 0);
    EXPECT_EQ(fake().trace.size(), 1u + 2u);
    EXPECT_EQ(VXFileClose(f), 0);
    EXPECT_EQ(VXDirClose(d), 0);
    EXPECT_EQ(VXTokenUnbind(t), 0);
    ExpectBalanced();
  }
}

// A read costs one select and ceil(n / 80) reads, on both generations.
TEST_F(VxsdkExports, ApdusPerRead) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    VXHandle t = Bind(p, "dir " + Root(p) + "/E007\nfile " + Root(p) + "/E007/0001 4096 0\n");
    VXHandle d = nullptr, f = nullptr;
    ASSERT_EQ(VXRootDirOpen(&d, t, 0xF007), 0);
    ASSERT_EQ(VXFileOpen(&f, d, 0x0001), 0);
    std::vector<uint8_t> buf(4096);
    for (uint16_t n : {1, 79, 80, 81, 160, 200, 4096}) {
      SCOPED_TRACE(n);
      fake().trace.clear();
      ASSERT_EQ(VXFileRead(f, 0, n, buf.data(), n), 0);
      EXPECT_EQ(fake().trace.size(), 1u + (n + 79u) / 80u);
    }
    EXPECT_EQ(VXFileClose(f), 0);
    EXPECT_EQ(VXDirClose(d), 0);
    EXPECT_EQ(VXTokenUnbind(t), 0);
  }
}

TEST_F(VxsdkExports, RootSelectorsAndKinds) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    VXHandle t = Bind(p, "dir " + Root(p) + "/E007\nfile " + Root(p) + "/E007/0001 4 0\n");
    VXHandle d = reinterpret_cast<VXHandle>(0x77);
    EXPECT_EQ(VXRootDirOpen(&d, t, 0x0002), VX_E_INVALIDARG);
    EXPECT_EQ(d, reinterpret_cast<VXHandle>(0x77));
    ASSERT_EQ(VXRootDirOpen(&d, t, 0xFFFF), 0);
    VXObjectInfo info{};
    ASSERT_EQ(VXDirGetInfo(d, &info), 0);
    EXPECT_EQ(info.id, 0x0001);
    EXPECT_EQ(info.size, 0);
    EXPECT_EQ(VXDirClose(d), 0);
    ASSERT_EQ(VXRootDirOpen(&d, t, 0xF007), 0);
    // A directory id is not a file.
    VXHandle sub = nullptr, f = reinterpret_cast<VXHandle>(0x77);
    ASSERT_EQ(VXDirCreate(&sub, 0x0200, d, 1), 0);
    ASSERT_EQ(VXDirGetInfo(sub, &info), 0);
    EXPECT_EQ(info.id, 0x0200);
    EXPECT_EQ(int32_t{info.flags}, p == Persona::K1 ? 1 : 0) << "the newer OS's directories report no protection";
    EXPECT_EQ(VXFileOpen(&f, d, 0x0200), kNotFound);
    EXPECT_EQ(f, reinterpret_cast<VXHandle>(0x77));
    EXPECT_EQ(VXDirDelete(sub), 0);
    EXPECT_EQ(VXDirClose(sub), 0);
    EXPECT_EQ(VXDirClose(d), 0);
    EXPECT_EQ(VXTokenUnbind(t), 0);
    ExpectBalanced();
  }
}

TEST_F(VxsdkExports, EnumerationIsASnapshot) {
  for (Persona p : kBoth) {
    SCOPED_TRACE(test_support::PersonaName(p));
    VXHandle t = Bind(p, "dir " + Root(p) + "/E007\nfile " + Root(p) + "/E007/0001 4 1\nfile " + Root(p) +
                             "/E007/0002 8 0\ndir " + Root(p) + "/E007/0010\n");
    VXHandle d = nullptr, files = nullptr, dirs = nullptr, f2 = nullptr;
    ASSERT_EQ(VXRootDirOpen(&d, t, 0xF007), 0);
    ASSERT_EQ(VXFilesEnumOpen(&files, d), 0);
    ASSERT_EQ(VXDirEnumOpen(&dirs, d), 0);
    // Created after the open: not seen. Deleted after: still listed.
    VXHandle extra = nullptr;
    ASSERT_EQ(VXFileCreate(&extra, d, 0x0003, 1, 0), 0);
    ASSERT_EQ(VXFileOpen(&f2, d, 0x0002), 0);
    ASSERT_EQ(VXFileDelete(f2), 0);
    VXObjectInfo info{};
    ASSERT_EQ(VXFilesEnumNext(files, &info), 0);
    EXPECT_EQ(info.id, 1);
    EXPECT_EQ(int32_t{info.flags}, 1);
    EXPECT_EQ(info.size, 4);
    EXPECT_EQ(VXFilesEnumNext(files, &info), kNotFound);
    EXPECT_EQ(VXFilesEnumNext(files, &info), VX_E_NO_MORE_ITEMS);
    ASSERT_EQ(VXDirEnumNext(dirs, &info), 0);
    EXPECT_EQ(info.id, 0x0010);
    EXPECT_EQ(info.size, 0);
    EXPECT_EQ(VXDirEnumNext(dirs, &info), VX_E_NO_MORE_ITEMS);
    EXPECT_EQ(VXDirEnumNext(dirs, nullptr), VX_E_POINTER);
    // The deleted file's handle must still be closed.
    EXPECT_EQ(VXFileGetInfo(f2, &info), 0);  // cached at the open
    for (VXHandle h : {extra, f2}) {
      EXPECT_EQ(VXFileClose(h), 0);
    }
    EXPECT_EQ(VXFilesEnumClose(files), 0);
    EXPECT_EQ(VXDirEnumClose(dirs), 0);
    EXPECT_EQ(VXDirClose(d), 0);
    // Handles outlive the token handle that made them.
    EXPECT_EQ(VXTokenUnbind(t), 0);
    ExpectBalanced();
  }
}

TEST_F(VxsdkExports, CardFailuresCloseTheBracket) {
  VXHandle t = Bind(Persona::K2Short, "dir 3F00/6666/E007\nfile 3F00/6666/E007/0001 200 0\n");
  VXHandle d = nullptr, f = nullptr;
  ASSERT_EQ(VXRootDirOpen(&d, t, 0xF007), 0);
  ASSERT_EQ(VXFileOpen(&f, d, 0x0001), 0);
  card_->ArmFaults({.swOnNth = 3, .sw = 0x6581});
  uint8_t buf[200];
  EXPECT_EQ(VXFileRead(f, 0, 200, buf, sizeof buf), static_cast<int32_t>(0x86E06581u));
  ExpectBalanced();
  card_->ArmFaults({.dropOnNth = 2});
  EXPECT_NE(VXFileWrite(f, 0, buf, 100), 0);
  ExpectBalanced();
  fake().beginResult = static_cast<int32_t>(0x80100069u);
  EXPECT_EQ(VXFileRead(f, 0, 1, buf, 1), static_cast<int32_t>(0x80100069u));
  fake().beginResult = 0;
  EXPECT_EQ(VXFileClose(f), 0);
  EXPECT_EQ(VXDirClose(d), 0);
  EXPECT_EQ(VXTokenUnbind(t), 0);
}

// The shared library shows the 31 names and none of the core's.
TEST(VxsdkLibrary, ExportsExactlyTheContract) {
  void* lib = dlopen(VXSDK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const char* names[] = {"VXReadersEnumOpen", "VXReadersEnumNext", "VXReadersEnumClose", "VXTokenBind",
                         "VXTokenUnbind",     "VXTokenLogin",      "VXTokenLogout",      "VXTokenPinChange",
                         "VXTokenMaxPinGet",  "VXTokenMinPinGet",  "VXTokenLabelGet",    "VXTokenIDGet",
                         "VXRootDirOpen",     "VXDirCreate",       "VXDirOpen",          "VXDirGetInfo",
                         "VXDirDelete",       "VXDirClose",        "VXDirEnumOpen",      "VXDirEnumNext",
                         "VXDirEnumClose",    "VXFilesEnumOpen",   "VXFilesEnumNext",    "VXFilesEnumClose",
                         "VXFileOpen",        "VXFileCreate",      "VXFileRead",         "VXFileWrite",
                         "VXFileDelete",      "VXFileGetInfo",     "VXFileClose"};
  static_assert(sizeof names / sizeof names[0] == 31);
  for (const char* n : names) {
    EXPECT_NE(dlsym(lib, n), nullptr) << n;
  }
  EXPECT_EQ(dlsym(lib, "_ZN5vxsdk15CReaderRegistry8InstanceEv"), nullptr);
  // The library's own table refuses what it never handed out.
  auto unbind = reinterpret_cast<int32_t (*)(VXHandle)>(dlsym(lib, "VXTokenUnbind"));
  ASSERT_NE(unbind, nullptr);
  int32_t word = 1;
  EXPECT_EQ(unbind(&word), VX_E_INVALIDARG);
  EXPECT_EQ(unbind(nullptr), VX_E_INVALIDARG);
  dlclose(lib);
}

}  // namespace
