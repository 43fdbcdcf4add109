#include "tests/support/card_core.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace test_support {
namespace {

using Ac = std::array<uint8_t, 9>;
constexpr Ac kAcDir = {0xFF, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0xFF};
constexpr Ac kAcFile0 = {0x00, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01};
constexpr Ac kAcFile1 = {0x01, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01};

void Sw(std::vector<uint8_t>* r, uint16_t sw) {
  r->push_back(static_cast<uint8_t>(sw >> 8));
  r->push_back(static_cast<uint8_t>(sw));
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool ParseHex(const std::string& s, std::vector<uint8_t>* out) {
  if (s.size() % 2 != 0) {
    return false;
  }
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    if (std::sscanf(s.substr(i, 2).c_str(), "%2x", &v) != 1) {
      return false;
    }
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool ParsePath(const std::string& s, std::vector<uint16_t>* out) {
  out->clear();
  std::stringstream ss(s);
  std::string part;
  while (std::getline(ss, part, '/')) {
    if (part.size() != 4) {
      return false;
    }
    unsigned v = 0;
    if (std::sscanf(part.c_str(), "%4x", &v) != 1) {
      return false;
    }
    out->push_back(static_cast<uint16_t>(v));
  }
  return !out->empty() && (*out)[0] == 0x3F00;
}

// Simple TLV run lookup for the templates the card is sent.
const uint8_t* Tlv(const uint8_t* p, size_t n, uint8_t tag, size_t* len) {
  size_t pos = 0;
  while (pos + 2 <= n) {
    const size_t l = p[pos + 1];
    if (l > n - pos - 2) {
      return nullptr;
    }
    if (p[pos] == tag) {
      *len = l;
      return p + pos + 2;
    }
    pos += 2 + l;
  }
  return nullptr;
}

}  // namespace

std::vector<uint8_t> PersonaAtr(Persona p) {
  switch (p) {
    case Persona::K1:
      return {0x3B, 0x81, 0x1F, 0x00, 0xCC, 0x52};
    case Persona::K2Short:
      return {0x3B, 0xE2, 0x00, 0xFF, 0xC1, 0x10, 0x31, 0xFE, 0x55, 0xC8, 0x02, 0x9C};
    case Persona::K2Long:
      return {0x3B, 0xF2, 0x98, 0x00, 0xFF, 0xC1, 0x10, 0x31, 0xFE, 0x55, 0xC8, 0x03, 0x15};
    case Persona::Foreign:
      return {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
              0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
    case Persona::LongAtr:
      return {0x3B, 0xE2, 0x00, 0xFF, 0xC1, 0x10, 0x31, 0xFE, 0x55, 0xC8, 0x02, 0x9C, 0x00};
  }
  return {};
}

const char* PersonaName(Persona p) {
  switch (p) {
    case Persona::K1:
      return "K1";
    case Persona::K2Short:
      return "K2-12";
    case Persona::K2Long:
      return "K2-13";
    case Persona::Foreign:
      return "foreign";
    case Persona::LongAtr:
      return "long";
  }
  return "?";
}

bool PersonaFromName(const std::string& name, Persona* p) {
  for (Persona q : {Persona::K1, Persona::K2Short, Persona::K2Long, Persona::Foreign, Persona::LongAtr}) {
    if (name == PersonaName(q)) {
      *p = q;
      return true;
    }
  }
  return false;
}

std::array<uint8_t, 24> EmulatorPinKey(const std::string& pin) {
  uint8_t s[32];
  for (uint8_t prefix = 0; prefix < 2; ++prefix) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    unsigned n = 0;
    EVP_DigestInit_ex(md, EVP_md5(), nullptr);
    EVP_DigestUpdate(md, &prefix, 1);
    EVP_DigestUpdate(md, pin.data(), pin.size());
    EVP_DigestFinal_ex(md, s + 16 * prefix, &n);
    EVP_MD_CTX_free(md);
  }
  // Written as a 168-bit little-endian number cut into 7-bit groups.
  std::array<uint8_t, 24> key{};
  unsigned acc = 0;
  int have = 0;
  size_t in = 0;
  for (auto& k : key) {
    while (have < 7) {
      acc |= static_cast<unsigned>(s[in++]) << have;
      have += 8;
    }
    k = static_cast<uint8_t>(acc & 0x7F);
    acc >>= 7;
    have -= 7;
  }
  return key;
}

std::array<uint8_t, 8> EmulatorEde3(const std::array<uint8_t, 24>& key, const uint8_t in[8]) {
  std::array<uint8_t, 8> out{};
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(c, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_EncryptUpdate(c, out.data(), &n, in, 8);
  EVP_CIPHER_CTX_free(c);
  return out;
}

CardNode* CardNode::Child(uint16_t childId) const {
  for (const auto& k : kids) {
    if (k->id == childId) {
      return k.get();
    }
  }
  return nullptr;
}

CardCore::CardCore(Persona p) : persona_(p) {
  key_ = EmulatorPinKey(pin_);
  Build();
}

CardNode* CardCore::NewNode(CardNode* parent, uint16_t id, bool dir, const Ac& ac, uint16_t size) {
  auto n = std::make_unique<CardNode>();
  n->id = id;
  n->dir = dir;
  n->ac = ac;
  n->data.assign(dir ? 0 : size, 0);
  n->parent = parent;
  CardNode* raw = n.get();
  parent->kids.push_back(std::move(n));
  return raw;
}

void CardCore::Build() {
  mf_ = std::make_unique<CardNode>();
  mf_->id = 0x3F00;
  mf_->dir = true;
  mf_->ac = kAcDir;
  const bool k1 = persona_ == Persona::K1;
  if (k1) {
    if (label_) {
      CardNode* d = NewNode(mf_.get(), 0x8000, true, kAcDir, 0);
      CardNode* f = NewNode(d, 0xAAAA, false, kAcFile0, static_cast<uint16_t>(label_->size()));
      f->data = *label_;
    }
  } else {
    CardNode* app = NewNode(mf_.get(), 0xA000, true, kAcDir, 0);
    app->dfName = "QRL";
    CardNode* d = NewNode(app, 0x1000, true, kAcDir, 0);
    CardNode* rec = NewNode(d, 0x0001, false, kAcFile0, 7);
    rec->data = {0x02, serial_[3], serial_[2], serial_[1], serial_[0], 0x01, 0x00};
    if (label_) {
      CardNode* lab = NewNode(d, 0x0002, false, kAcFile0, 32);
      std::copy_n(label_->begin(), std::min<size_t>(32, label_->size()), lab->data.begin());
    }
    CardNode* root = NewNode(mf_.get(), 0x6666, true, kAcDir, 0);
    CardNode* rd = NewNode(root, 0x1000, true, kAcDir, 0);
    NewNode(rd, 0x0001, false, kAcFile0, 8);
  }
  ClearSecurity();
}

void CardCore::ClearSecurity() {
  loggedIn_ = false;
  challenge_.reset();
  curDf_ = mf_.get();
  curEf_ = nullptr;
}

void CardCore::SetSerial(const std::array<uint8_t, 4>& s) {
  serial_ = s;
  if (persona_ != Persona::K1) {
    if (CardNode* rec = Find({0x3F00, 0xA000, 0x1000, 0x0001})) {
      rec->data[1] = s[3];
      rec->data[2] = s[2];
      rec->data[3] = s[1];
      rec->data[4] = s[0];
    }
  }
}

void CardCore::SetPin(const std::string& pin) {
  pin_ = pin;
  key_ = EmulatorPinKey(pin);
}

void CardCore::SetLabelBytes(std::optional<std::vector<uint8_t>> label) {
  label_ = std::move(label);
  Build();
}

void CardCore::SetPersona(Persona p) {
  persona_ = p;
  // Another card: the newer OS's key follows the PIN again (a PIN change
  // there rewrites only the key) and the tries are whole.
  key_ = EmulatorPinKey(pin_);
  tries_ = 15;
  Build();
}

void CardCore::Swap(const std::array<uint8_t, 4>& newSerial) {
  SetSerial(newSerial);
  ClearSecurity();
}

CardNode* CardCore::Find(const std::vector<uint16_t>& path) const {
  if (path.empty() || path[0] != 0x3F00) {
    return nullptr;
  }
  CardNode* n = mf_.get();
  for (size_t i = 1; i < path.size() && n != nullptr; ++i) {
    n = n->Child(path[i]);
  }
  return n;
}

bool CardCore::LoadFixture(const std::string& text, std::string* why) {
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::stringstream ws(line);
    std::string kw;
    if (!(ws >> kw) || kw[0] == '#') {
      continue;
    }
    std::string a;
    if (kw == "persona") {
      Persona p;
      if (!(ws >> a) || !PersonaFromName(a, &p)) {
        *why = "bad persona: " + line;
        return false;
      }
      const auto s = serial_;
      SetPersona(p);
      SetSerial(s);
    } else if (kw == "serial") {
      std::vector<uint8_t> v;
      if (!(ws >> a) || !ParseHex(a, &v) || v.size() != 4) {
        *why = "bad serial: " + line;
        return false;
      }
      SetSerial({v[0], v[1], v[2], v[3]});
    } else if (kw == "label") {
      std::string rest;
      std::getline(ws >> std::ws, rest);
      const auto s = serial_;
      SetLabelBytes(std::vector<uint8_t>(rest.begin(), rest.end()));
      SetSerial(s);
    } else if (kw == "labelhex") {
      std::vector<uint8_t> v;
      ws >> a;  // nothing: a label file of size 0
      if (!ParseHex(a, &v)) {
        *why = "bad labelhex: " + line;
        return false;
      }
      const auto s = serial_;
      SetLabelBytes(v);
      SetSerial(s);
    } else if (kw == "nolabel") {
      const auto s = serial_;
      SetLabelBytes(std::nullopt);
      SetSerial(s);
    } else if (kw == "pin") {
      if (!(ws >> a)) {
        *why = "bad pin: " + line;
        return false;
      }
      SetPin(a);
    } else if (kw == "dir" || kw == "file") {
      std::vector<uint16_t> path;
      if (!(ws >> a) || !ParsePath(a, &path) || path.size() < 2) {
        *why = "bad path: " + line;
        return false;
      }
      CardNode* parent = Find({path.begin(), path.end() - 1});
      if (parent == nullptr || !parent->dir || parent->Child(path.back()) != nullptr) {
        *why = "no parent folder or exists: " + line;
        return false;
      }
      unsigned size = 0;
      unsigned flag = 0;
      if (kw == "file" && !(ws >> size)) {
        *why = "bad size: " + line;
        return false;
      }
      ws >> flag;
      std::string hex;
      ws >> hex;
      if (kw == "dir") {
        NewNode(parent, path.back(), true, kAcDir, 0);
      } else {
        CardNode* f = NewNode(parent, path.back(), false, flag != 0 ? kAcFile1 : kAcFile0,
                              static_cast<uint16_t>(std::min(size, 0xFFFFu)));
        std::vector<uint8_t> v;
        if (!hex.empty() && (!ParseHex(hex, &v) || v.size() > f->data.size())) {
          *why = "bad data: " + line;
          return false;
        }
        std::copy(v.begin(), v.end(), f->data.begin());
      }
    } else {
      *why = "unknown fixture line: " + line;
      return false;
    }
  }
  return true;
}

std::string CardCore::DumpTree() const {
  std::string out;
  std::vector<std::pair<const CardNode*, std::string>> stack = {{mf_.get(), "3F00"}};
  while (!stack.empty()) {
    auto [n, path] = stack.back();
    stack.pop_back();
    char line[128];
    std::snprintf(line, sizeof line, "%s %s size=%zu ac=%02X%02X\n", path.c_str(), n->dir ? "dir" : "file",
                  n->data.size(), n->ac[0], n->ac[1]);
    out += line;
    for (auto it = n->kids.rbegin(); it != n->kids.rend(); ++it) {
      char id[8];
      std::snprintf(id, sizeof id, "/%04X", (*it)->id);
      stack.emplace_back(it->get(), path + id);
    }
  }
  return out;
}

bool CardCore::MayRead(const CardNode& n) const { return n.ac[0] == 0x00 || (n.ac[0] == 0x01 && loggedIn_); }
bool CardCore::MayUpdate(const CardNode& n) const { return n.ac[1] == 0x00 || (n.ac[1] == 0x01 && loggedIn_); }

void CardCore::Select(CardNode* n) {
  if (n->dir) {
    curDf_ = n;
    curEf_ = nullptr;
  } else {
    curDf_ = n->parent;
    curEf_ = n;
  }
}

uint16_t CardCore::FailPin() {
  loggedIn_ = false;
  if (tries_ > 0) {
    --tries_;
  }
  return tries_ == 0 ? 0x6983 : static_cast<uint16_t>(0x63C0 | tries_);
}

bool CardCore::Remove(CardNode* n, uint16_t* sw) {
  if (n == mf_.get() || (n->dir && !n->kids.empty())) {
    *sw = 0x6985;
    return false;
  }
  CardNode* p = n->parent;
  if (curEf_ == n || curDf_ == n) {
    curEf_ = nullptr;
    curDf_ = p;
  }
  for (auto it = p->kids.begin(); it != p->kids.end(); ++it) {
    if (it->get() == n) {
      p->kids.erase(it);
      break;
    }
  }
  return true;
}

CardCore::Outcome CardCore::Process(const uint8_t* apdu, size_t len, std::vector<uint8_t>* resp) {
  resp->clear();
  ++commands_;
  const uint32_t nth = commands_ - armedAt_;
  if (faults.dropOnNth != 0 && nth == faults.dropOnNth) {
    return Outcome::Drop;
  }
  if (faults.swOnNth != 0 && nth == faults.swOnNth) {
    Sw(resp, faults.sw);
    return Outcome::Answer;
  }
  if (persona_ == Persona::K1) {
    K1(apdu, len, resp);
  } else {
    K2(apdu, len, resp);
  }
  return Outcome::Answer;
}

void CardCore::K1(const uint8_t* a, size_t len, std::vector<uint8_t>* r) {
  if (len < 7 || a[0] != 0x00 || a[2] != 0 || a[3] != 0 || a[4] != 0) {
    return Sw(r, 0x6700);
  }
  const size_t lc = Be16(a + 5);
  if (len != 7 + lc) {
    return Sw(r, 0x6700);
  }
  const uint8_t* d = a + 7;
  auto selectAnswer = [&](const CardNode& n) {
    r->push_back(static_cast<uint8_t>(n.id));
    r->push_back(static_cast<uint8_t>(n.id >> 8));
    r->push_back(n.dir ? 2 : 1);
    r->push_back(n.ac[0] == 0x01 ? 1 : 0);
    const uint16_t size = static_cast<uint16_t>(n.data.size());
    r->push_back(static_cast<uint8_t>(size));
    r->push_back(static_cast<uint8_t>(size >> 8));
    r->push_back(0);
    r->push_back(0);
    Sw(r, 0x9000);
  };
  switch (a[1]) {
    case 0x20: {  // login
      if (lc < 1 || d[0] != lc - 1) {
        return Sw(r, 0x6700);
      }
      if (tries_ == 0) {
        return Sw(r, 0x6983);
      }
      if (std::string(reinterpret_cast<const char*>(d + 1), lc - 1) != pin_) {
        return Sw(r, FailPin());
      }
      loggedIn_ = true;
      tries_ = 15;
      return Sw(r, 0x9000);
    }
    case 0xDC:
      if (lc != 1) {
        return Sw(r, 0x6700);
      }
      loggedIn_ = false;
      return Sw(r, 0x9000);
    case 0xD4:
      if (lc < 1 || d[0] != lc - 1) {
        return Sw(r, 0x6700);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      pin_.assign(reinterpret_cast<const char*>(d + 1), lc - 1);
      return Sw(r, 0x9000);
    case 0xDA: {
      if (lc != 1) {
        return Sw(r, 0x6700);
      }
      const uint8_t rec[19] = {serial_[0], serial_[1], serial_[2], serial_[3], 0x10, 0x00, 0x20, 0x00, 0,   0,
                               0,          0,          0,          0,          0x01, 0x00, 0x05, 0x00, 0x07};
      r->assign(rec, rec + 19);
      return Sw(r, 0x9000);
    }
    case 0xA4: {
      if (lc >= 2 && d[0] == 0x00) {
        const size_t n = d[1];
        if (lc != 2 + 2 * n || n == 0) {
          return Sw(r, 0x6700);
        }
        std::vector<uint16_t> path;
        for (size_t i = 0; i < n; ++i) {
          path.push_back(Le16(d + 2 + 2 * i));
        }
        CardNode* node = Find(path);
        if (node == nullptr) {
          return Sw(r, NotFound());
        }
        Select(node);
        return selectAnswer(*node);
      }
      if (lc == 4 && d[0] == 0x01 && d[1] == 0x01) {
        CardNode* node = curDf_->Child(Le16(d + 2));
        if (node == nullptr) {
          return Sw(r, NotFound());
        }
        Select(node);
        return selectAnswer(*node);
      }
      return Sw(r, 0x6B00);
    }
    case 0xE0: {
      if (lc != 6) {
        return Sw(r, 0x6700);
      }
      if (d[0] != 1 && d[0] != 2) {
        return Sw(r, 0x6B00);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      const uint16_t id = Le16(d + 4);
      if (curDf_->Child(id) != nullptr) {
        return Sw(r, 0x6A89);
      }
      NewNode(curDf_, id, d[0] == 2, d[0] == 2 ? kAcDir : (d[1] != 0 ? kAcFile1 : kAcFile0), Le16(d + 2));
      return Sw(r, 0x9000);
    }
    case 0xE2: {
      if (lc != 1) {
        return Sw(r, 0x6700);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      CardNode* n = curEf_ != nullptr ? curEf_ : curDf_;
      if ((d[0] == 2) != n->dir) {
        return Sw(r, 0x6985);
      }
      uint16_t sw = 0x9000;
      Remove(n, &sw);
      return Sw(r, sw);
    }
    case 0xD2: {
      if (lc != 3) {
        return Sw(r, 0x6700);
      }
      size_t max = Le16(d);
      if (max == 0) {
        max = 1024;
      }
      std::vector<uint16_t> ids;
      for (const auto& k : curDf_->kids) {
        if ((d[2] == 2) == k->dir && ids.size() < max) {
          ids.push_back(k->id);
        }
      }
      const uint16_t count = static_cast<uint16_t>(ids.size() + (faults.k1OversizedListCount ? 600 : 0));
      r->push_back(static_cast<uint8_t>(count));
      r->push_back(static_cast<uint8_t>(count >> 8));
      for (uint16_t id : ids) {
        r->push_back(static_cast<uint8_t>(id));
        r->push_back(static_cast<uint8_t>(id >> 8));
      }
      return Sw(r, 0x9000);
    }
    case 0xB0: {
      if (lc != 4) {
        return Sw(r, 0x6700);
      }
      if (curEf_ == nullptr) {
        return Sw(r, 0x6985);
      }
      if (!MayRead(*curEf_)) {
        return Sw(r, 0x6982);
      }
      const size_t off = Le16(d);
      const size_t cnt = Le16(d + 2);
      if (off > curEf_->data.size()) {
        return Sw(r, 0x6B00);
      }
      if (!faults.k1ReadNoData) {
        const size_t n = std::min(cnt, curEf_->data.size() - off);
        r->assign(curEf_->data.begin() + static_cast<std::ptrdiff_t>(off),
                  curEf_->data.begin() + static_cast<std::ptrdiff_t>(off + n));
      }
      return Sw(r, 0x9000);
    }
    case 0xD0: {
      if (lc < 4 || Le16(d + 2) != lc - 4) {
        return Sw(r, 0x6700);
      }
      if (curEf_ == nullptr) {
        return Sw(r, 0x6985);
      }
      if (!MayUpdate(*curEf_)) {
        return Sw(r, 0x6982);
      }
      const size_t off = Le16(d);
      if (off + (lc - 4) > curEf_->data.size()) {
        return Sw(r, 0x6B00);
      }
      std::memcpy(curEf_->data.data() + off, d + 4, lc - 4);
      return Sw(r, 0x9000);
    }
    default:
      return Sw(r, 0x6D00);
  }
}

std::vector<uint8_t> CardCore::Fci(const CardNode& n) const {
  const uint16_t size = n.dir ? 0xFFFF : static_cast<uint16_t>(n.data.size());
  std::vector<uint8_t> out = {0x6F,
                              24,
                              0x81,
                              0x02,
                              static_cast<uint8_t>(size >> 8),
                              static_cast<uint8_t>(size),
                              0x82,
                              0x03,
                              static_cast<uint8_t>(n.dir ? 0x38 : 0x01),
                              0xFF,
                              0x00,
                              0x83,
                              0x02,
                              static_cast<uint8_t>(n.id >> 8),
                              static_cast<uint8_t>(n.id),
                              0x86,
                              0x09,
                              n.ac[0],
                              n.ac[1],
                              n.ac[2],
                              n.ac[3],
                              n.ac[4],
                              n.ac[5],
                              n.ac[6],
                              n.ac[7],
                              n.ac[8]};
  return out;
}

void CardCore::K2(const uint8_t* a, size_t len, std::vector<uint8_t>* r) {
  if (len < 6 || len != 6u + a[4]) {
    return Sw(r, 0x6700);
  }
  const uint8_t cla = a[0], ins = a[1], p1 = a[2], p2 = a[3];
  const size_t lc = a[4];
  const uint8_t* d = a + 5;
  const size_t le = a[len - 1];
  if (cla == 0x80) {
    if (ins == 0x10) {
      return Sw(r, 0x9000);
    }
    if (ins != 0x16) {
      return Sw(r, 0x6D00);
    }
    if (p1 > 1) {
      return Sw(r, 0x6B00);
    }
    std::vector<const CardNode*> wanted;
    for (const auto& k : curDf_->kids) {
      if (k->dir == (p1 == 0)) {
        wanted.push_back(k.get());
      }
    }
    size_t i = p2;
    while (i < wanted.size()) {
      const CardNode& n = *wanted[i];
      ++i;
      const bool more = i < wanted.size();
      // The last entry of a page carries where the next page starts; a page
      // holds at most 253 bytes.
      const bool pageEnds = more && r->size() + 9 + 12 > 253;
      std::vector<uint8_t> e = {0x82,
                                0x01,
                                static_cast<uint8_t>(n.dir ? 0x38 : 0x01),
                                0x86,
                                0x02,
                                static_cast<uint8_t>(n.id >> 8),
                                static_cast<uint8_t>(n.id)};
      if (pageEnds || (faults.k2RepeatContinuation && !more)) {
        e.push_back(0x8A);
        e.push_back(0x01);
        e.push_back(static_cast<uint8_t>(faults.k2RepeatContinuation && !more ? p2 : i));
      }
      r->push_back(0x6F);
      r->push_back(static_cast<uint8_t>(e.size()));
      r->insert(r->end(), e.begin(), e.end());
      if (pageEnds) {
        break;
      }
    }
    return Sw(r, 0x9000);
  }
  if (cla != 0x00) {
    return Sw(r, 0x6E00);
  }
  switch (ins) {
    case 0xA4: {
      CardNode* node = nullptr;
      if (p1 == 0x04) {
        const std::string name(reinterpret_cast<const char*>(d), lc);
        std::vector<CardNode*> stack = {mf_.get()};
        while (!stack.empty() && node == nullptr) {
          CardNode* n = stack.back();
          stack.pop_back();
          if (n->dir && !n->dfName.empty() && n->dfName == name) {
            node = n;
          }
          for (auto& k : n->kids) {
            stack.push_back(k.get());
          }
        }
      } else if (p1 == 0x00) {
        if (lc == 0) {
          node = mf_.get();
        } else if (lc == 2) {
          const uint16_t id = Be16(d);
          node = id == 0x3F00 ? mf_.get() : curDf_->Child(id);
        } else {
          return Sw(r, 0x6700);
        }
      } else if (p1 == 0x08 || p1 == 0x09) {
        if (lc == 0 || lc % 2 != 0) {
          return Sw(r, 0x6700);
        }
        node = p1 == 0x08 ? mf_.get() : curDf_;
        for (size_t i = 0; i < lc && node != nullptr; i += 2) {
          node = node->Child(Be16(d + i));
        }
      } else {
        return Sw(r, 0x6B00);
      }
      if (node == nullptr) {
        return Sw(r, NotFound());
      }
      Select(node);
      if (p2 == 0x00) {
        *r = Fci(*node);
      }
      return Sw(r, 0x9000);
    }
    case 0xB0: {
      if (curEf_ == nullptr) {
        return Sw(r, 0x6985);
      }
      if (!MayRead(*curEf_)) {
        return Sw(r, 0x6982);
      }
      const size_t off = static_cast<size_t>(p1 << 8 | p2);
      if (off > curEf_->data.size()) {
        return Sw(r, 0x6B00);
      }
      const size_t n = std::min(le == 0 ? size_t{256} : le, curEf_->data.size() - off);
      r->assign(curEf_->data.begin() + static_cast<std::ptrdiff_t>(off),
                curEf_->data.begin() + static_cast<std::ptrdiff_t>(off + n));
      return Sw(r, 0x9000);
    }
    case 0xD6: {
      if (curEf_ == nullptr) {
        return Sw(r, 0x6985);
      }
      if (!MayUpdate(*curEf_)) {
        return Sw(r, 0x6982);
      }
      const size_t off = static_cast<size_t>(p1 << 8 | p2);
      if (off + lc > curEf_->data.size()) {
        return Sw(r, 0x6700);
      }
      std::memcpy(curEf_->data.data() + off, d, lc);
      return Sw(r, 0x9000);
    }
    case 0x84: {
      if (le != 8 || lc != 0) {
        return Sw(r, 0x6700);
      }
      std::array<uint8_t, 8> c{};
      for (auto& b : c) {
        rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(rng_ >> 56);
      }
      challenge_ = c;
      r->assign(c.begin(), c.end());
      return Sw(r, 0x9000);
    }
    case 0x82: {
      if (p2 != 0x81 || lc != 8) {
        return Sw(r, 0x6700);
      }
      if (!challenge_) {
        return Sw(r, 0x6985);
      }
      if (tries_ == 0) {
        return Sw(r, 0x6983);
      }
      const auto expect = EmulatorEde3(key_, challenge_->data());
      challenge_.reset();
      if (std::memcmp(expect.data(), d, 8) != 0) {
        return Sw(r, FailPin());
      }
      loggedIn_ = true;
      tries_ = 15;
      return Sw(r, 0x9000);
    }
    case 0xCA: {
      if (p1 != 0x01) {
        return Sw(r, 0x6B00);
      }
      static const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> kData = {
          {0x83, {0x20, 0x01}}, {0x84, {0x00, 0x01}}, {0x89, {0x00, 0x00, 0x12, 0x34}}, {0x8A, {0x08, 0x00}}};
      for (const auto& [tag, v] : kData) {
        if (tag == p2) {
          r->assign(v.begin(), v.end());
          return Sw(r, 0x9000);
        }
      }
      return Sw(r, NotFound());
    }
    case 0xE0: {
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      size_t tl = 0, sl = 0, dl = 0, il = 0, al = 0;
      const uint8_t* t = Tlv(d, lc, 0x6F, &tl);
      const uint8_t* s = t != nullptr ? Tlv(t, tl, 0x81, &sl) : nullptr;
      const uint8_t* ds = t != nullptr ? Tlv(t, tl, 0x82, &dl) : nullptr;
      const uint8_t* id = t != nullptr ? Tlv(t, tl, 0x83, &il) : nullptr;
      const uint8_t* ac = t != nullptr ? Tlv(t, tl, 0x86, &al) : nullptr;
      if (s == nullptr || sl != 2 || ds == nullptr || dl < 1 || id == nullptr || il != 2 || ac == nullptr || al != 9 ||
          (ds[0] != 0x38 && ds[0] != 0x01)) {
        return Sw(r, 0x6700);
      }
      if (curDf_->Child(Be16(id)) != nullptr) {
        return Sw(r, 0x6A89);
      }
      Ac acs{};
      std::copy_n(ac, 9, acs.begin());
      NewNode(curDf_, Be16(id), ds[0] == 0x38, acs, ds[0] == 0x38 ? 0 : Be16(s));
      return Sw(r, 0x9000);
    }
    case 0xE4: {
      if (lc != 2) {
        return Sw(r, 0x6700);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      CardNode* n = curDf_->Child(Be16(d));
      if (n == nullptr) {
        return Sw(r, NotFound());
      }
      uint16_t sw = 0x9000;
      Remove(n, &sw);
      return Sw(r, sw);
    }
    case 0xDA: {
      if (faults.putDataRefused) {
        return Sw(r, 0x6A81);
      }
      if (p1 != 0x01 || p2 != 0x6E) {
        return Sw(r, 0x6B00);
      }
      if (lc != 67) {
        return Sw(r, 0x6700);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      size_t kl = 0;
      const uint8_t* k = Tlv(d, lc, 0x8F, &kl);
      if (k == nullptr || kl != 24) {
        return Sw(r, 0x6700);
      }
      std::copy_n(k, 24, key_.begin());
      return Sw(r, 0x9000);
    }
    case 0x24: {
      if (p1 != 0x01 || p2 != 0x81) {
        return Sw(r, 0x6B00);
      }
      if (lc != 24) {
        return Sw(r, 0x6700);
      }
      if (!loggedIn_) {
        return Sw(r, 0x6982);
      }
      std::copy_n(d, 24, key_.begin());
      return Sw(r, 0x9000);
    }
    default:
      return Sw(r, 0x6D00);
  }
}

}  // namespace test_support
