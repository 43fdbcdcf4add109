#include "printing/print_target.h"

#include <QDir>
#include <QFileDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QStandardPaths>
#include <optional>
#include <string>

#include "platform/environment.h"

namespace vtpagina {

PrintTarget PrintTarget::current() {
  PrintTarget t;
#ifdef QCRYPTO_TEST_HOOKS
  if (platform::env("DOSSAR_PRINT_NO_TARGET").value_or("") == "1") return t;
#endif
  if (const std::optional<std::string> pdf = platform::env("DOSSAR_PRINT_PDF"); pdf && !pdf->empty()) {
    t.kind_ = Kind::PdfFile;
    t.pdf_path_ = QString::fromLocal8Bit(pdf->c_str());
    return t;
  }
  const QPrinterInfo info = QPrinterInfo::defaultPrinter();
  if (!info.isNull()) {
    t.kind_ = Kind::Printer;
    t.printer_name_ = info.printerName();
    return t;
  }
  t.kind_ = Kind::PdfChosen;
  return t;
}

std::unique_ptr<QPrinter> PrintTarget::make_printer() const {
  std::unique_ptr<QPrinter> printer;
  if (kind_ == Kind::Printer) {
    printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setPrinterName(printer_name_);
  } else {
    printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setResolution(kPdfResolution);
    printer->setPageSize(QPageSize(QPageSize::A4));
  }
  // The indents are the only margins: the device's printable area is the page
  // (a printer keeps its hardware margins, the PDF writer has none).
  printer->setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
  return printer;
}

QString PrintTarget::choose_pdf_file(const QString& title, QWidget* parent) const {
  if (kind_ == Kind::PdfFile) return pdf_path_;
  if (kind_ != Kind::PdfChosen) return {};
  QString name = title;
  // A title is not a path: no folder separators in the proposed name.
  name.replace(QLatin1Char('/'), QLatin1Char('_'));
  if (name.isEmpty()) name = QStringLiteral("print");
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return QFileDialog::getSaveFileName(parent, QString(), QDir(folder).filePath(name + QStringLiteral(".pdf")),
                                      QStringLiteral("PDF (*.pdf)"));
}

}  // namespace vtpagina
