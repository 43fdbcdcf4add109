// Where a print job goes. The system's notion of "the default printer" maps to
// the CUPS default printer when there is one; otherwise to Qt's PDF writer,
// into $DOSSAR_PRINT_PDF when that is set (headless use) or into a file that
// the user chooses when printing starts. The variable wins over a printer, so
// a headless run never reaches a real queue.
#pragma once

#include <QString>
#include <memory>

class QPrinter;
class QWidget;

namespace vtpagina {

class PrintTarget {
 public:
  enum class Kind { None, Printer, PdfFile, PdfChosen };

  // The target of this moment. Only builds with test hooks can be forced to
  // answer None (DOSSAR_PRINT_NO_TARGET=1): every machine has the PDF writer.
  static PrintTarget current();

  Kind kind() const { return kind_; }
  bool exists() const { return kind_ != Kind::None; }
  QString printer_name() const { return printer_name_; }
  QString pdf_path() const { return pdf_path_; }

  // A printer set up for this target (PDF at 600 dpi), without an output file.
  std::unique_ptr<QPrinter> make_printer() const;

  // Output of one print: for a PDF, the file to write (asked for with a save
  // dialog proposing "<title>.pdf" in the documents folder when no file is
  // set); empty when the user cancels.
  QString choose_pdf_file(const QString& title, QWidget* parent) const;

 private:
  Kind kind_ = Kind::None;
  QString printer_name_;
  QString pdf_path_;
};

inline constexpr int kPdfResolution = 600;

}  // namespace vtpagina
