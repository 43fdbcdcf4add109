// Laying out and painting the text of a print job on a paged device: the
// text in the job's font as a point font, wrapped at the printable rectangle
// (the device's page less the indents, in device units), and in the
// signature-list mode one page with the stamp picture above the text.
#pragma once

#include <QImage>
#include <QString>

#include "printing/vtpagina.h"

class QPagedPaintDevice;
class QPrinter;
class QFont;

namespace vtpagina {

struct PrintSpec {
  QString text;  // with "\r\n" line ends
  PrintFontRecord font{};
  PrintIndents indents{};
  bool signature_list = false;
};

// The stamp picture (resource 1001).
const QImage& stamp_image();

// The record as a point font (height in tenths of a point).
QFont font_from_record(const PrintFontRecord& record);

// Paints every page of the job on the printer (the printer is begun and
// ended here). Returns the number of pages painted, 0 when painting failed.
int paint_job(const PrintSpec& spec, QPrinter& printer);

// The number of pages the job takes on a device of this printer's setup.
int count_pages(const PrintSpec& spec, QPrinter& printer);

}  // namespace vtpagina
