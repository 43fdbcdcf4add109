#include "dsutils/com/dbus/script_ui.h"

#include <QFile>
#include <QThread>
#include <cstdio>

#include "dsutils/engine/ui_scripted.h"

namespace dsutils::bus {

namespace {

class ScriptFileUi : public ScriptedUi {
 public:
  ~ScriptFileUi() override {
    if (unscripted() > 0) std::fprintf(stderr, "dsutils-service: %d unscripted question(s)\n", unscripted());
  }
  void setDelay(int ms) { delayMs_ = ms; }
  int askPassword(const PasswordRequest& request, PasswordBuffer& out) override {
    // Counted by the tests: a password remembered by one object must not
    // spare another object's prompt.
    std::fprintf(stderr, "dsutils-service: password prompt\n");
    wait();
    return ScriptedUi::askPassword(request, out);
  }
  int showMessage(const MessageRequest& request) override {
    wait();
    return ScriptedUi::showMessage(request);
  }
  KeyMediumAnswer askKeyMedium(const KeyMediumRequest& request) override {
    wait();
    return ScriptedUi::askKeyMedium(request);
  }
  SignAnswer askSign(const SignRequest& request) override {
    wait();
    return ScriptedUi::askSign(request);
  }
  EncryptAnswer askEncrypt(const EncryptRequest& request) override {
    wait();
    return ScriptedUi::askEncrypt(request);
  }
  SignEncryptAnswer askSignEncrypt(const SignEncryptRequest& request) override {
    wait();
    return ScriptedUi::askSignEncrypt(request);
  }
  DecryptAnswer askDecrypt(const DecryptRequest& request) override {
    wait();
    return ScriptedUi::askDecrypt(request);
  }

 private:
  // A person taking their time over the question.
  void wait() const {
    if (delayMs_ > 0) QThread::msleep(static_cast<unsigned long>(delayMs_));
  }

  int delayMs_ = 0;
};

}  // namespace

std::unique_ptr<EngineUi> LoadScriptUi(const QString& file) {
  auto ui = std::make_unique<ScriptFileUi>();
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "dsutils-service: cannot read %s\n", QFile::encodeName(file).constData());
    return ui;
  }
  // A script is a few lines; anything longer is not one.
  const QList<QByteArray> lines = in.read(64 * 1024).split('\n');
  for (const QByteArray& raw : lines) {
    const QByteArray line = raw.trimmed();
    const qsizetype space = line.indexOf(' ');
    const QByteArray kind = space < 0 ? line : line.left(space);
    const QByteArray value = space < 0 ? QByteArray() : line.mid(space + 1);
    if (kind == "password") {
      ui->queuePassword(value.toStdString());
    } else if (kind == "message") {
      ui->queueMessage(value.toInt());
    } else if (kind == "delay") {
      ui->setDelay(value.toInt());
    }
  }
  return ui;
}

}  // namespace dsutils::bus
