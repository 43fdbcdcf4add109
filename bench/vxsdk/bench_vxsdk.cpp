// The token SDK's core: one APDU round trip over the fake PC/SC (framing,
// locks, the call table; the answer is canned), and each command kind over
// pcscd and vpcd on loopback when the reader "QRL ifdh T 00 00" is there.
#include <benchmark/benchmark.h>

#include "tests/support/fake_pcsc.h"
#include "vxsdk/apdu.h"
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

}  // namespace

BENCHMARK_MAIN();
