// A token card of our own for the tests: both card operating systems, their
// file commands and a fault injector, with no I/O. Two front-ends drive it:
// the in-process fake PC/SC (fake_pcsc.h) and the vpcd client card-emulator.
//
// Access conditions are this emulator's own: byte 0 of a file's conditions
// is read, byte 1 update; 00 is always allowed, 01 needs the PIN, FF never.
// An older-OS file with flag 1 has 01 01, with flag 0 has 00 01. Creating
// and deleting need the PIN on both generations.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

enum class Persona { K1, K2Short, K2Long, Foreign, LongAtr };

std::vector<uint8_t> PersonaAtr(Persona p);
bool PersonaFromName(const std::string& name, Persona* p);
const char* PersonaName(Persona p);

struct CardFaults {
  uint32_t swOnNth = 0;  // answer `sw` to the n-th command after arming (1-based)
  uint16_t sw = 0;
  uint32_t dropOnNth = 0;  // drop the connection on the n-th command
  bool k1ReadNoData = false;
  bool k2RepeatContinuation = false;
  bool k1OversizedListCount = false;
  bool notFoundAs6407 = false;
  bool putDataRefused = false;
};

struct CardNode {
  uint16_t id = 0;
  bool dir = false;
  std::array<uint8_t, 9> ac{};
  std::vector<uint8_t> data;  // a file's fixed-size contents
  std::string dfName;
  CardNode* parent = nullptr;
  std::vector<std::unique_ptr<CardNode>> kids;
  CardNode* Child(uint16_t childId) const;
};

class CardCore {
 public:
  explicit CardCore(Persona p);

  // Fixture lines: "persona K1|K2-12|K2-13|foreign|long", "serial <8 hex>",
  // "label <text>", "labelhex <hex>" (the label file's bytes), "nolabel",
  // "pin <text>", "dir <path> [flag]", "file <path> <size> [flag] [hex]";
  // paths are 4-hex-digit ids joined by '/', from 3F00.
  bool LoadFixture(const std::string& text, std::string* why);

  Persona persona() const { return persona_; }
  std::vector<uint8_t> Atr() const { return PersonaAtr(persona_); }
  // The serial as the SDK reports it.
  std::array<uint8_t, 4> serial() const { return serial_; }
  void SetSerial(const std::array<uint8_t, 4>& s);
  void SetPin(const std::string& pin);
  void SetLabelBytes(std::optional<std::vector<uint8_t>> label);
  void SetPersona(Persona p);

  void PowerOff() { ClearSecurity(); }
  void PowerOn() { ClearSecurity(); }
  void Reset() { ClearSecurity(); }
  // Another token of the same kind: a new serial, state cleared.
  void Swap(const std::array<uint8_t, 4>& newSerial);

  enum class Outcome { Answer, Drop };
  Outcome Process(const uint8_t* apdu, size_t len, std::vector<uint8_t>* resp);

  CardFaults faults;
  void ArmFaults(const CardFaults& f) {
    faults = f;
    armedAt_ = commands_;
  }
  uint32_t commands() const { return commands_; }
  bool loggedIn() const { return loggedIn_; }
  std::string DumpTree() const;
  CardNode* Find(const std::vector<uint16_t>& path) const;

 private:
  void Build();
  void ClearSecurity();
  uint16_t NotFound() const { return faults.notFoundAs6407 ? 0x6407 : 0x6A82; }
  void K1(const uint8_t* a, size_t len, std::vector<uint8_t>* r);
  void K2(const uint8_t* a, size_t len, std::vector<uint8_t>* r);
  bool MayRead(const CardNode& n) const;
  bool MayUpdate(const CardNode& n) const;
  void Select(CardNode* n);
  uint16_t FailPin();
  std::vector<uint8_t> Fci(const CardNode& n) const;
  CardNode* NewNode(CardNode* parent, uint16_t id, bool dir, const std::array<uint8_t, 9>& ac, uint16_t size);
  bool Remove(CardNode* n, uint16_t* sw);

  Persona persona_;
  std::array<uint8_t, 4> serial_{0x01, 0x02, 0x03, 0x04};
  std::string pin_ = "1234";
  std::array<uint8_t, 24> key_{};
  std::optional<std::vector<uint8_t>> label_ = std::vector<uint8_t>{'Q', 'R', 'L', ' ', 'T', 'E', 'S', 'T'};
  std::unique_ptr<CardNode> mf_;
  CardNode* curDf_ = nullptr;
  CardNode* curEf_ = nullptr;
  bool loggedIn_ = false;
  int tries_ = 15;
  std::optional<std::array<uint8_t, 8>> challenge_;
  uint32_t commands_ = 0;
  uint32_t armedAt_ = 0;
  uint64_t rng_ = 0x9E3779B97F4A7C15ull;
};

// The newer OS's key from a PIN, computed here with OpenSSL's MD5 (the SDK
// has its own), and its 3DES-EDE of one block through OpenSSL's EVP.
std::array<uint8_t, 24> EmulatorPinKey(const std::string& pin);
std::array<uint8_t, 8> EmulatorEde3(const std::array<uint8_t, 24>& key, const uint8_t in[8]);

}  // namespace test_support
