// card-emulator: the test card core behind vpcd, pcscd's virtual reader.
//
//   card-emulator --port P [--fixture FILE] [--serial HEX8] [--control PATH]
//       connects to vpcd on 127.0.0.1:P only. A message is a 2-byte
//       big-endian length and a payload; a 1-byte payload is a control (00
//       off, 01 on, 02 reset, 04 get ATR, answered with the ATR), a longer
//       one an APDU, answered with data and SW. Closing the socket removes
//       the card. The control socket takes one line per connection:
//       persona NAME | swap HEX8 | remove | insert | fault drop N |
//       fault sw N HEX4 | serial | dump | quit
//   card-emulator --free-port-pair
//       prints a port P such that P and P+1 are free (vpcd's two slots).
//   card-emulator --wait-card READER MS
//       waits through PC/SC until READER holds a card (exit 0) or MS pass.
#include <PCSC/winscard.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/card_core.h"

namespace {

using test_support::CardCore;

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// vpcd writes a message's length and its payload in two sends; with Nagle
// on its side, a delayed ACK here would hold every payload back by 40 ms.
void QuickAck(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    QuickAck(fd);
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool SendMessage(int fd, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> m = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
  m.insert(m.end(), payload.begin(), payload.end());
  return WriteAll(fd, m.data(), m.size());
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// vpcd may not listen yet while pcscd loads it: retried until the deadline.
int ConnectVpcd(int port, int timeoutMs) {
  const int64_t end = NowMs() + timeoutMs;
  for (;;) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    ::close(fd);
    if (NowMs() >= end) {
      return -1;
    }
    const timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

bool PortFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

int FreePortPair() {
  std::random_device rd;
  std::mt19937 rng(rd());
  for (int i = 0; i < 200; ++i) {
    const int p = 20000 + static_cast<int>(rng() % 12000);
    if (PortFree(p) && PortFree(p + 1)) {
      std::printf("%d\n", p);
      return 0;
    }
  }
  std::fprintf(stderr, "no free port pair\n");
  return 1;
}

int WaitCard(const char* reader, int timeoutMs) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "no PC/SC context\n");
    return 1;
  }
  const int64_t end = NowMs() + timeoutMs;
  SCARD_READERSTATE st{};
  st.szReader = reader;
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  int rc = 1;
  for (;;) {
    const int64_t left = end - NowMs();
    if (left <= 0) {
      break;
    }
    const LONG rv = SCardGetStatusChange(ctx, static_cast<DWORD>(left), &st, 1);
    if (rv == SCARD_S_SUCCESS) {
      if ((st.dwEventState & SCARD_STATE_PRESENT) != 0) {
        rc = 0;
        break;
      }
      st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
    } else if (rv == static_cast<LONG>(SCARD_E_UNKNOWN_READER)) {
      // The reader appears once vpcd is loaded: wait for any reader change.
      SCARD_READERSTATE pnp{};
      pnp.szReader = "\\\\?PnP?\\Notification";
      pnp.dwCurrentState = 0;
      SCardGetStatusChange(ctx, static_cast<DWORD>(std::min<int64_t>(left, 200)), &pnp, 1);
      st.dwCurrentState = SCARD_STATE_UNAWARE;
    } else if (rv != static_cast<LONG>(SCARD_E_TIMEOUT)) {
      std::fprintf(stderr, "status change: 0x%08lX\n", static_cast<unsigned long>(rv));
      break;
    }
  }
  SCardReleaseContext(ctx);
  if (rc != 0) {
    std::fprintf(stderr, "no card in \"%s\" within %d ms\n", reader, timeoutMs);
  }
  return rc;
}

int ListenControl(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    return -1;
  }
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string SerialHex(const CardCore& c) {
  char b[16];
  const auto s = c.serial();
  std::snprintf(b, sizeof b, "%02x%02x%02x%02x", s[0], s[1], s[2], s[3]);
  return b;
}

bool ParseSerial(const std::string& hex, std::array<uint8_t, 4>* out) {
  unsigned v = 0;
  if (hex.size() != 8 || std::sscanf(hex.c_str(), "%8x", &v) != 1) {
    return false;
  }
  *out = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
  return true;
}

struct Emulator {
  CardCore card{test_support::Persona::K2Long};
  int port = 0;
  int vpcd = -1;
  bool quit = false;

  void Remove() {
    if (vpcd >= 0) {
      ::close(vpcd);
      vpcd = -1;
    }
  }
  bool Insert() {
    if (vpcd < 0) {
      vpcd = ConnectVpcd(port, 5000);
    }
    return vpcd >= 0;
  }

  // One vpcd message; false when the connection is gone.
  bool Serve() {
    uint8_t len[2];
    if (!ReadAll(vpcd, len, 2)) {
      return false;
    }
    std::vector<uint8_t> m(static_cast<size_t>(len[0] << 8 | len[1]));
    if (!ReadAll(vpcd, m.data(), m.size())) {
      return false;
    }
    if (m.size() == 1) {
      switch (m[0]) {
        case 0x00:
          card.PowerOff();
          return true;
        case 0x01:
          card.PowerOn();
          return true;
        case 0x02:
          card.Reset();
          return true;
        case 0x04:
          return SendMessage(vpcd, card.Atr());
        default:
          return true;
      }
    }
    std::vector<uint8_t> r;
    if (card.Process(m.data(), m.size(), &r) == CardCore::Outcome::Drop) {
      return false;  // pulled mid-command
    }
    return SendMessage(vpcd, r);
  }

  std::string Control(const std::string& line) {
    std::istringstream ws(line);
    std::string cmd;
    ws >> cmd;
    if (cmd == "persona") {
      std::string name;
      test_support::Persona p;
      ws >> name;
      if (!test_support::PersonaFromName(name, &p)) {
        return "error unknown persona\n";
      }
      Remove();
      const auto s = card.serial();
      card.SetPersona(p);
      card.SetSerial(s);
      return Insert() ? "ok\n" : "error vpcd\n";
    }
    if (cmd == "swap") {
      std::string hex;
      std::array<uint8_t, 4> s{};
      ws >> hex;
      if (!ParseSerial(hex, &s)) {
        return "error serial\n";
      }
      Remove();
      card.Swap(s);
      return Insert() ? "ok\n" : "error vpcd\n";
    }
    if (cmd == "remove") {
      Remove();
      return "ok\n";
    }
    if (cmd == "insert") {
      return Insert() ? "ok\n" : "error vpcd\n";
    }
    if (cmd == "fault") {
      std::string kind;
      unsigned n = 0;
      ws >> kind >> n;
      test_support::CardFaults f;
      if (kind == "drop") {
        f.dropOnNth = n;
      } else if (kind == "sw") {
        unsigned sw = 0;
        ws >> std::hex >> sw;
        f.swOnNth = n;
        f.sw = static_cast<uint16_t>(sw);
      } else if (kind == "putdata") {
        f.putDataRefused = true;
      } else if (kind != "none") {
        return "error fault\n";
      }
      card.ArmFaults(f);
      return "ok\n";
    }
    if (cmd == "serial") {
      return SerialHex(card) + "\n";
    }
    if (cmd == "dump") {
      return card.DumpTree();
    }
    if (cmd == "quit") {
      quit = true;
      return "ok\n";
    }
    return "error unknown command\n";
  }
};

int Run(int argc, char** argv) {
  Emulator e;
  std::string control;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const std::string val = argv[i + 1];
    if (opt == "--port") {
      e.port = std::atoi(val.c_str());
    } else if (opt == "--control") {
      control = val;
    } else if (opt == "--serial") {
      std::array<uint8_t, 4> s{};
      if (!ParseSerial(val, &s)) {
        std::fprintf(stderr, "bad serial %s\n", val.c_str());
        return 2;
      }
      e.card.SetSerial(s);
    } else if (opt == "--fixture") {
      std::ifstream f(val);
      std::stringstream text;
      text << f.rdbuf();
      std::string why;
      const auto s = e.card.serial();
      if (!f || !e.card.LoadFixture(text.str(), &why)) {
        std::fprintf(stderr, "fixture %s: %s\n", val.c_str(), why.c_str());
        return 2;
      }
      e.card.SetSerial(s);
    } else {
      std::fprintf(stderr, "unknown option %s\n", opt.c_str());
      return 2;
    }
  }
  if (e.port <= 0 || e.port > 65535) {
    std::fprintf(stderr, "usage: card-emulator --port P [--fixture F] [--serial HEX8] [--control PATH]\n");
    return 2;
  }
  const int ctl = control.empty() ? -1 : ListenControl(control);
  if (!control.empty() && ctl < 0) {
    std::fprintf(stderr, "cannot listen on %s\n", control.c_str());
    return 1;
  }
  if (!e.Insert()) {
    std::fprintf(stderr, "vpcd does not answer on 127.0.0.1:%d\n", e.port);
    return 1;
  }
  while (!e.quit) {
    pollfd fds[2] = {{e.vpcd, POLLIN, 0}, {ctl, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return 1;
    }
    if (e.vpcd >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (!e.Serve()) {
        e.Remove();  // the card is out until the control puts it back
      }
    }
    if (ctl >= 0 && (fds[1].revents & POLLIN) != 0) {
      const int c = ::accept4(ctl, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        continue;
      }
      std::string line;
      char ch = 0;
      while (line.size() < 256 && ::recv(c, &ch, 1, 0) == 1 && ch != '\n') {
        line.push_back(ch);
      }
      const std::string answer = e.Control(line);
      WriteAll(c, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
      ::close(c);
    }
  }
  e.Remove();
  if (!control.empty()) {
    ::unlink(control.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && std::strcmp(argv[1], "--free-port-pair") == 0) {
    return FreePortPair();
  }
  if (argc == 4 && std::strcmp(argv[1], "--wait-card") == 0) {
    return WaitCard(argv[2], std::atoi(argv[3]));
  }
  return Run(argc, argv);
}
