// The token SDK over the in-process fake PC/SC: a clean registry and fake
// for every test, and the APDU trace as hex text.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/card_core.h"
#include "tests/support/fake_pcsc.h"
#include "tests/vxsdk/vx_test_util.h"
#include "vxsdk/ca_exception.h"
#include "vxsdk/registry.h"

namespace vxsdk_test {

class FakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vxsdk::CReaderRegistry::Instance().ClearForTest();
    fake().Install();
  }
  void TearDown() override {
    vxsdk::CReaderRegistry::Instance().ClearForTest();
    fake().Clear();
    fake().Uninstall();
  }
  static test_support::FakePcsc& fake() { return test_support::FakePcsc::Get(); }

  std::shared_ptr<test_support::CardCore> AddCard(const std::string& reader, test_support::Persona p) {
    auto card = std::make_shared<test_support::CardCore>(p);
    fake().AddReader(reader, card);
    return card;
  }
  // A card of persona `p` with `fixture` loaded in reader "R"; it stays in
  // card_.
  void InsertCard(test_support::Persona p, const std::string& fixture) {
    card_ = std::make_shared<test_support::CardCore>(p);
    std::string why;
    EXPECT_TRUE(card_->LoadFixture(fixture, &why)) << why;
    fake().AddReader("R", card_);
  }
  std::vector<std::string> TraceHex() {
    std::vector<std::string> out;
    for (const auto& e : fake().trace) {
      out.push_back(HexOf(e.cmd));
    }
    return out;
  }

  std::shared_ptr<test_support::CardCore> card_;
};

}  // namespace vxsdk_test
