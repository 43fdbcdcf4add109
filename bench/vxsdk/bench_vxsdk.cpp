// The token SDK's core: one APDU round trip over the fake PC/SC (framing,
// locks, the call table; the answer is canned), and each command kind over
// pcscd and vpcd on loopback when the reader "QRL ifdh T 00 00" is there.
#include <benchmark/benchmark.h>

#include <vector>

#include "tests/support/fake_pcsc.h"
#include "vxsdk/apdu.h"
#include "vxsdk/api/vxsdk_api.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"

namespace {

void BM_FakeRoundTrip(benchmark::State& state) {
  auto& fake = test_support::FakePcsc::Get();
  fake.Install();
  fake.recordTrace = false;
  auto& r = fake.AddReader("R", nullptr);
  r.atr = test_support::PersonaAtr(test_support::Persona::K2Long);
  r.responder = [](const std::vector<uint8_t>&, std::vector<uint8_t>* resp) {
    resp->assign({0x90, 0x00});
    return true;
  };
  auto ch = vxsdk::CCardChannel::Open("R", vxsdk::kPcscShareShared);
  for (auto _ : state) {
    vxsdk::ChannelLock lock(*ch);
    vxsdk::CApdu c = vxsdk::K2Command(0x00, 0xA4, 0x00, 0x0C, {0x3F, 0x00}, 0x00);
    c.SendChecked(*ch);
    benchmark::DoNotOptimize(c.Sw());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  ch.reset();
  fake.Clear();
  fake.Uninstall();
}
BENCHMARK(BM_FakeRoundTrip);

// Over the real daemon: APDUs per second by command kind.
void BM_Pcscd(benchmark::State& state) {
  std::shared_ptr<vxsdk::CVexilToken> t;
  try {
    vxsdk::CReaderRegistry::Instance().ClearForTest();
    t = vxsdk::CReaderRegistry::Instance().BindReader("QRL ifdh T 00 00");
  } catch (const vxsdk::CAException& e) {
    char why[96];
    std::snprintf(why, sizeof why, "no token reader over pcscd (0x%08X); scripts/run-main.sh starts one",
                  static_cast<unsigned>(e.Code()));
    state.SkipWithError(why);
    return;
  }
  auto& ch = t->Channel();
  const int kind = static_cast<int>(state.range(0));
  vxsdk::CardBracket b(*t);
  try {
    vxsdk::ChannelLock lock(ch);
    if (t->Kind() == vxsdk::TokenKind::K2) {
      vxsdk::K2Command(0x00, 0xA4, 0x04, 0x0C, {'Q', 'R', 'L'}, 0x00).SendChecked(ch);
      vxsdk::K2Command(0x00, 0xA4, 0x09, 0x0C, {0x10, 0x00, 0x00, 0x02}, 0x00).SendChecked(ch);
    }
    for (auto _ : state) {
      switch (kind) {
        case 0:
          vxsdk::K2Command(0x00, 0xA4, 0x00, 0x0C, {}, 0x00).SendChecked(ch);
          break;
        case 1:
          vxsdk::K2Command(0x00, 0xB0, 0x00, 0x00, {}, 0x20).SendChecked(ch);
          break;
        case 2:
          vxsdk::K2Command(0x00, 0x84, 0x00, 0x00, {}, 0x08).SendChecked(ch);
          break;
        default:
          vxsdk::K2Command(0x00, 0xCA, 0x01, 0x84, {}, 0xFD).SendChecked(ch);
          break;
      }
    }
  } catch (const vxsdk::CAException& e) {
    char why[64];
    std::snprintf(why, sizeof why, "card failure 0x%08X", static_cast<unsigned>(e.Code()));
    state.SkipWithError(why);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Pcscd)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->ArgName("select0_read1_challenge2_getdata3")->UseRealTime();

// A 4 KiB file through the exports: read (arg 0) or write (arg 1), as
// APDUs/s and bytes/s. Each read is one select and ceil(4096 / 80) reads.
constexpr uint16_t kFileSize = 4096;
constexpr int64_t kApdusPerRead = 1 + (kFileSize + 79) / 80;

struct FileUnderTest {
  VXHandle token = nullptr, dir = nullptr, file = nullptr;
  ~FileUnderTest() {
    if (file != nullptr) {
      VXFileDelete(file);
      VXFileClose(file);
    }
    if (dir != nullptr) {
      VXDirClose(dir);
    }
    if (token != nullptr) {
      VXTokenLogout(token);
      VXTokenUnbind(token);
    }
  }
  int32_t Open(const char* reader) {
    int32_t rc = VXTokenBind(&token, reader);
    if (rc == 0) {
      rc = VXTokenLogin(token, "1234");
    }
    if (rc == 0) {
      rc = VXRootDirOpen(&dir, token, 0xF007);
    }
    if (rc == 0) {
      rc = VXFileCreate(&file, dir, 0xBE4C, kFileSize, 0);
    }
    return rc;
  }
};

void RunFile(benchmark::State& state, FileUnderTest& f) {
  const bool write = state.range(0) == 1;
  std::vector<uint8_t> buf(kFileSize, 0x5A);
  for (auto _ : state) {
    const int32_t rc =
        write ? VXFileWrite(f.file, 0, buf.data(), kFileSize) : VXFileRead(f.file, 0, kFileSize, buf.data(), kFileSize);
    if (rc != 0) {
      state.SkipWithError("file operation failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
  state.counters["APDUs"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kApdusPerRead), benchmark::Counter::kIsRate);
}

void BM_FakeFile4K(benchmark::State& state) {
  auto& fake = test_support::FakePcsc::Get();
  fake.Install();
  fake.recordTrace = false;
  fake.AddReader("R", std::make_shared<test_support::CardCore>(test_support::Persona::K2Long));
  {
    FileUnderTest f;
    if (f.Open("R") != 0) {
      state.SkipWithError("the fake token did not open");
    } else {
      RunFile(state, f);
    }
  }
  vxsdk::CReaderRegistry::Instance().ClearForTest();
  fake.Clear();
  fake.Uninstall();
}
BENCHMARK(BM_FakeFile4K)->Arg(0)->Arg(1)->ArgName("read0_write1");

void BM_PcscdFile4K(benchmark::State& state) {
  vxsdk::CReaderRegistry::Instance().ClearForTest();
  FileUnderTest f;
  if (const int32_t rc = f.Open("QRL ifdh T 00 00"); rc != 0) {
    char why[96];
    std::snprintf(why, sizeof why, "no token over pcscd (0x%08X); scripts/run-main.sh starts one",
                  static_cast<unsigned>(rc));
    state.SkipWithError(why);
    return;
  }
  RunFile(state, f);
}
BENCHMARK(BM_PcscdFile4K)->Arg(0)->Arg(1)->ArgName("read0_write1")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
