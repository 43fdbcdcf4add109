// A hostile card behind the token SDK's core: every answer comes from the
// input (a length byte, then that many bytes; the input's end pulls the
// card), and each card operation must end with a code, never an overrun or a
// hang. The TLV readers and the file system's answer parsers (select
// answer, FCI, both lists) get the whole input as well.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tests/support/fake_pcsc.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"
#include "vxsdk/tlv.h"
#include "vxsdk/token.h"
#include "vxsdk/token_fs.h"

namespace {

template <typename F>
void Try(F&& f) {
  try {
    f();
  } catch (const vxsdk::CAException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> all(data, size);
  for (uint8_t tag : {0x81, 0x82, 0x83, 0x86, 0x8A}) {
    if (auto v = vxsdk::FindFciTag(all, tag)) {
      volatile uint8_t sink = v->empty() ? 0 : (*v)[v->size() - 1];
      (void)sink;
    }
  }
  Try([&] { vxsdk::ParseK1Select(all); });
  Try([&] { vxsdk::ParseK1List(all); });
  Try([&] { vxsdk::ParseK2Fci(all); });
  Try([&] { vxsdk::ParseK2ListPage(all, 0x01); });
  if (size < 1) {
    return 0;
  }
  auto& fake = test_support::FakePcsc::Get();
  fake.Install();
  auto& r = fake.AddReader("R", nullptr);
  r.atr = test_support::PersonaAtr((data[0] & 1) != 0 ? test_support::Persona::K1 : test_support::Persona::K2Long);
  size_t pos = 1;
  // Bounded: a loop in the SDK that kept asking would end at the input's end.
  r.responder = [data, size, &pos](const std::vector<uint8_t>&, std::vector<uint8_t>* resp) {
    if (pos >= size) {
      return false;
    }
    const size_t n = std::min<size_t>(data[pos], size - pos - 1);
    resp->assign(data + pos + 1, data + pos + 1 + n);
    pos += 1 + n;
    return true;
  };
  Try([] {
    auto t = vxsdk::CReaderRegistry::Instance().BindReader("R");
    const uint8_t pin[] = {'1', '2', '3', '4'};
    vxsdk::CardBracket b(*t);
    Try([&] { t->Label(); });
    Try([&] { t->Login(pin, sizeof pin); });
    Try([&] { t->ChangePin(pin, sizeof pin); });
    Try([&] { t->BoolQuery(); });
    Try([&] { t->Query16B(); });
    Try([&] { t->Query16C(); });
    Try([&] { t->Logout(); });
    if (auto* k1 = dynamic_cast<vxsdk::CVexilK1Token*>(t.get())) {
      Try([&] {
        k1->SelectPath({0x3F00, 0xE007, 0x0001});
        k1->ReadSelected(0, 400);
      });
    }
    if (auto* k2 = dynamic_cast<vxsdk::CVexilK2Token*>(t.get())) {
      Try([&] { k2->ProprietaryReset(); });
      Try([&] { k2->RootRecordFlag(); });
    }
    // Directories and files behind the same card: listings that loop or
    // lie, reads that come up short.
    Try([&] {
      auto root = vxsdk::CardRootDir(t);
      Try([&] { root->ListDirs(); });
      Try([&] {
        for (const auto& f : root->ListFiles()) {
          f->Size();
        }
      });
      Try([&] { root->OpenFile(0x0001)->Read(0, 0xFFFF); });
      Try([&] { vxsdk::SelectRootFolder(t, 0xF00C); });
    });
    t->SameCard();
  });
  vxsdk::CReaderRegistry::Instance().ClearForTest();
  fake.Clear();
  fake.Uninstall();
  return 0;
}
