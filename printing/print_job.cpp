#include "printing/print_job.h"

#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPrinter>
#include <QTemporaryFile>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "printing/fill.h"
#include "printing/preview_window.h"
#include "printing/settings_dialog.h"

namespace vtpagina {
namespace {

QPointer<PreviewWindow>& preview_slot() {
  static QPointer<PreviewWindow> slot;
  return slot;
}

FontChooser& chooser_slot() {
  static FontChooser chooser;
  return chooser;
}

void show_box(QMessageBox::Icon icon, const QString& caption, const QString& text) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

// Closes the preview now, so nothing of it outlives the call.
bool destroy_preview() {
  QPointer<PreviewWindow>& slot = preview_slot();
  if (slot.isNull()) return false;
  PreviewWindow* w = slot.data();
  slot.clear();
  w->close();
  delete w;  // closed but not yet deleted (the deferred delete would come later)
  return true;
}

}  // namespace

PrintFontRecord& font_record() {
  static PrintFontRecord record = [] {
    PrintFontRecord r{};
    r.lfHeight = 120;
    r.lfCharSet = 204;
    std::memcpy(r.lfFaceName, "Courier New", sizeof "Courier New");
    return r;
  }();
  return record;
}

PrintIndents& indent_record() {
  static PrintIndents indents{};
  return indents;
}

bool check_target(const PrintTarget& target) {
  if (target.exists()) return true;
  show_box(QMessageBox::Warning, QString::fromUtf8(kNoPrinterCaption), QString::fromUtf8(kNoPrinterText));
  return false;
}

std::optional<std::string> read_template_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(st.st_size) > kMaxTemplateBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  // The file may grow between stat and read: never read past the limit.
  bytes.resize(kMaxTemplateBytes + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > kMaxTemplateBytes) return std::nullopt;
  return bytes;
}

bool print_to_target(const PrintSpec& spec, const PrintTarget& target, const QString& title, QWidget* parent) {
  std::unique_ptr<QPrinter> printer = target.make_printer();
  printer->setDocName(title);
  if (target.kind() == PrintTarget::Kind::Printer) return paint_job(spec, *printer) > 0;

  const QString path = target.choose_pdf_file(title, parent);
  if (path.isEmpty()) return false;
  // Written under a temporary name beside the target and renamed when whole.
  const QFileInfo info(path);
  QTemporaryFile part(QDir(info.absolutePath()).filePath(QStringLiteral(".%1.XXXXXX.part").arg(info.fileName())));
  if (!part.open()) {
    std::fprintf(stderr, "VTPagina: cannot write into the folder of %s\n", path.toLocal8Bit().constData());
    return false;
  }
  part.close();
  printer->setOutputFileName(part.fileName());
  if (paint_job(spec, *printer) == 0) {
    std::fprintf(stderr, "VTPagina: printing to %s failed\n", path.toLocal8Bit().constData());
    return false;
  }
  if (std::rename(QFile::encodeName(part.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
    std::fprintf(stderr, "VTPagina: cannot rename the output into %s\n", path.toLocal8Bit().constData());
    return false;
  }
  part.setAutoRemove(false);
  return true;
}

void run_pagina(const PrintListItem* items, const char* title, int32_t show, int32_t close_owner) {
  const PrintTarget target = PrintTarget::current();
  if (!check_target(target)) return;
  // Watched: when the active window is the earlier preview, it goes next.
  const QPointer<QWidget> active = QApplication::activeWindow();
  // An earlier preview ends first.
  destroy_preview();
  QWidget* owner = active.data();
  if (owner != nullptr && owner->isHidden()) owner = nullptr;

  const PrintItems collected = collect_items(items);
  std::optional<std::string> decoded;
  if (collected.template_path) {
    const std::optional<std::string> bytes = read_template_file(*collected.template_path);
    if (!bytes) {
      show_box(QMessageBox::Critical, QStringLiteral("Dossar"),
               QStringLiteral("Failed to open file ") + QString::fromUtf8(*collected.template_path));
      // Nothing is printed from a template that could not be read.
      return;
    }
    decoded = decode_template(*bytes);
  }

  PrintSpec spec;
  spec.text = QString::fromUtf8(job_text(decoded, collected));
  spec.font = font_record();
  spec.indents = indent_record();
  spec.signature_list = collected.signature_list_mode();
  const QString window_title = title != nullptr ? QString::fromUtf8(title) : QString::fromUtf8(kDefaultTitle);

  if (show == 0) {
    print_to_target(spec, target, window_title, owner);
    return;
  }
  auto* window = new PreviewWindow(std::move(spec), target, window_title, owner, close_owner != 0);
  preview_slot() = window;
  window->show();
  window->raise();
  window->activateWindow();
}

int32_t end_print() { return destroy_preview() ? 1 : 0; }

PreviewWindow* live_preview() { return preview_slot().data(); }

FontChooser default_font_chooser() {
  return [](const QFont& initial, QWidget* parent) -> std::optional<QFont> {
    bool ok = false;
    const QFont f = QFontDialog::getFont(&ok, initial, parent);
    if (!ok) return std::nullopt;
    return f;
  };
}

void set_font_chooser(FontChooser chooser) { chooser_slot() = std::move(chooser); }

void run_print_settings() {
  if (!check_target(PrintTarget::current())) return;
  PrintSettingsModel model(font_record(), indent_record());
  FontChooser chooser = chooser_slot() ? chooser_slot() : default_font_chooser();
  PrintSettingsDialog dialog(model, std::move(chooser), QApplication::activeWindow());
  if (dialog.exec() == QDialog::Accepted) model.commit(font_record(), indent_record());
}

}  // namespace vtpagina
