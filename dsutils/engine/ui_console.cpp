#include "dsutils/engine/ui_console.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace dsutils {
namespace {

volatile sig_atomic_t g_interrupts = 0;

void on_interrupt(int) {
  if (g_interrupts > 0) ::_exit(128 + SIGINT);
  g_interrupts = 1;
}

}  // namespace

void ConsoleUi::catchInterrupt() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
}

bool ConsoleUi::interrupted() { return g_interrupts != 0; }

void ConsoleUi::line(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fprintf(out_, "Dossar: %s\n", bytes.constData());
  std::fflush(out_);
}

template <class T>
T ConsoleUi::answer(const std::optional<T>& given, const char* what) {
  if (given) return *given;
  line(
      QStringLiteral("нет ответа для диалога \"%1\" в параметрах командной строки: отменено").arg(QLatin1String(what)));
  return T{};
}

int ConsoleUi::showMessage(const MessageRequest& request) {
  line(request.text.trimmed());
  switch (request.flags & MB_TYPEMASK) {
    case MB_OK:
      return IDOK;
    case MB_YESNO: {
      const int a = options_.questionAnswer == IDYES ? IDYES : IDNO;
      line(a == IDYES ? QStringLiteral("-> Да") : QStringLiteral("-> Нет"));
      return a;
    }
    case MB_YESNOCANCEL:
      return options_.questionAnswer == IDYES ? IDYES : IDCANCEL;
    default:
      return IDCANCEL;
  }
}

KeyMediumAnswer ConsoleUi::askKeyMedium(const KeyMediumRequest& request) {
  KeyMediumAnswer a = answer(options_.keyMedium, "key medium");
  // An accepted answer that names no medium keeps the entry's medium, key
  // file and key format.
  if (a.accepted && a.mediumPath.isEmpty()) a = {true, request.mediumPath, request.keyFile, request.keyFormat31};
  return a;
}
SignAnswer ConsoleUi::askSign(const SignRequest&) { return answer(options_.sign, "sign"); }
EncryptAnswer ConsoleUi::askEncrypt(const EncryptRequest&) { return answer(options_.encrypt, "encrypt"); }
SignEncryptAnswer ConsoleUi::askSignEncrypt(const SignEncryptRequest&) {
  return answer(options_.signEncrypt, "sign and encrypt");
}
RecipientsAnswer ConsoleUi::askRecipients(const RecipientsRequest& request) {
  if (options_.chosenRecipients.isEmpty()) {
    return answer(std::optional<RecipientsAnswer>(), "recipients");
  }
  line(request.caption + QStringLiteral(": ") + options_.chosenRecipients.join(QStringLiteral(", ")));
  return RecipientsAnswer{true, options_.chosenRecipients};
}
DecryptAnswer ConsoleUi::askDecrypt(const DecryptRequest&) { return answer(options_.decrypt, "decrypt"); }

VerifyProtocolAnswer ConsoleUi::showVerifyProtocol(const VerifyProtocolRequest& request) {
  if (!request.fileName.isEmpty()) line(request.fileName);
  const QByteArray bytes = request.protocolText.toUtf8();
  std::fprintf(out_, "%s\n", bytes.constData());
  return VerifyProtocolAnswer{request.allConfirmed && options_.extractDocument};
}

void ConsoleUi::showFileInfo(const FileInfoRequest& request) {
  line(request.fileName);
  const QByteArray bytes = request.body.toUtf8();
  std::fprintf(out_, "%s\n", bytes.constData());
}

// The console opens nothing: it names the document for the person to open.
void ConsoleUi::openDocument(const QString& path) { line(path); }

std::optional<QString> ConsoleUi::chooseFolder(const QString&) { return options_.folder; }

std::optional<QString> ConsoleUi::chooseSaveFile(const SaveFileRequest& request) {
  if (options_.saveAs) return options_.saveAs;
  line(QStringLiteral("нет ответа для диалога \"save file\" (%1) в параметрах командной строки: отменено")
           .arg(request.initialPath));
  return std::nullopt;
}

int ConsoleUi::randomSensor(const RandomSensorRequest&) {
  line(QStringLiteral("датчик случайных чисел с клавиатуры недоступен в командной строке"));
  return 0;
}

int ConsoleUi::askPassword(const PasswordRequest&, PasswordBuffer& out) {
  out.wipe();
  if (options_.passwordFd < 0) {
    line(QStringLiteral("пароль не задан: нет дескриптора файла с паролем"));
    return -1;
  }
  // Byte by byte up to the line end, so the next password stays in the
  // descriptor for the next prompt and nothing is kept in a stream buffer.
  std::size_t n = 0;
  for (;;) {
    unsigned char c = 0;
    const ssize_t r = ::read(options_.passwordFd, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || c == '\n') break;
    if (n + 1 >= out.size()) {
      out.wipe();
      line(QStringLiteral("пароль слишком длинный"));
      return -1;
    }
    out.data()[n++] = c;
  }
  if (n > 0 && out.data()[n - 1] == '\r') out.data()[--n] = 0;
  if (n == 0) return -1;  // end of the descriptor: nothing more to answer with
  return static_cast<int>(n);
}

int ConsoleUi::touchMemoryMessage(int status) {
  line(QStringLiteral("ключевой носитель: код %1").arg(status));
  return 0;
}

void ConsoleUi::progressStarted(OperationProgress& progress) {
  if (options_.showProgress) line(progress.title());
}

void ConsoleUi::progressFile(OperationProgress& progress) {
  if (options_.showProgress) line(progress.file());
}

void ConsoleUi::progressStep(OperationProgress& progress, int, std::uint64_t, std::uint64_t) {
  if (interrupted()) progress.cancel();
}
void ConsoleUi::progressStopped(OperationProgress&) {}

}  // namespace dsutils
