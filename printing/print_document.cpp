#include "printing/print_document.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QPrinter>
#include <QTextDocument>
#include <algorithm>
#include <memory>

#include "printing/stamp_data.h"

namespace vtpagina {
namespace {

// Gap between the stamp and the text, in device units.
constexpr int kStampGap = 20;

struct Layout {
  QRect text_rect;   // where the text flows, device units
  QRect stamp_rect;  // empty unless a signature list
  std::unique_ptr<QTextDocument> doc;
  int pages = 0;
};

// An indent from another module may be anything; the text keeps at least a
// quarter of each dimension so the layout always makes progress.
int clamp_indent(int32_t v, int extent) { return std::clamp<int>(v, 0, extent * 3 / 8); }

Layout make_layout(const PrintSpec& spec, QPrinter& printer) {
  Layout l;
  const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
  const int w = page.width();
  const int h = page.height();
  const int left = clamp_indent(spec.indents.left, w);
  const int right = clamp_indent(spec.indents.right, w);
  const int top = clamp_indent(spec.indents.top, h);
  const int bottom = clamp_indent(spec.indents.bottom, h);
  QRect r(QPoint(left, top), QPoint(w - right - 1, h - bottom - 1));
  if (spec.signature_list) {
    const QImage& img = stamp_image();
    const int sw = img.width() * 3 / 2;
    const int sh = img.height() * 3 / 2;
    l.stamp_rect = QRect(left, top, sw, sh);
    r.setTop(std::min(r.bottom() - 1, top + sh + kStampGap));
  }
  l.text_rect = r;
  l.doc = std::make_unique<QTextDocument>();
  l.doc->documentLayout()->setPaintDevice(&printer);
  l.doc->setDocumentMargin(0);
  l.doc->setDefaultFont(font_from_record(spec.font));
  QString plain = spec.text;
  plain.remove(QLatin1Char('\r'));
  l.doc->setPlainText(plain);
  l.doc->setPageSize(QSizeF(r.width(), r.height()));
  // A signature list is one page: what does not fit is not printed.
  l.pages = spec.signature_list ? 1 : std::max(1, l.doc->pageCount());
  return l;
}

}  // namespace

const QImage& stamp_image() {
  static const QImage image = [] {
    QImage img;
    img.loadFromData(kStamp1001Png, static_cast<int>(kStamp1001PngSize), "PNG");
    return img;
  }();
  return image;
}

QFont font_from_record(const PrintFontRecord& record) {
  const std::size_t len = strnlen(record.lfFaceName, sizeof record.lfFaceName);
  QFont font(QString::fromUtf8(record.lfFaceName, static_cast<qsizetype>(len)));
  // Heights are tenths of a point; zero or a negative (cell) height falls
  // back to the record's default of 12 points.
  const int tenths = record.lfHeight > 0 ? record.lfHeight : 120;
  font.setPointSizeF(std::clamp(tenths, 10, 10000) / 10.0);
  font.setStyleHint(QFont::Monospace);
  if (record.lfWeight > 0) font.setWeight(static_cast<QFont::Weight>(std::clamp<int>(record.lfWeight, 1, 1000)));
  font.setItalic(record.lfItalic != 0);
  font.setUnderline(record.lfUnderline != 0);
  font.setStrikeOut(record.lfStrikeOut != 0);
  return font;
}

int count_pages(const PrintSpec& spec, QPrinter& printer) { return make_layout(spec, printer).pages; }

int paint_job(const PrintSpec& spec, QPrinter& printer) {
  Layout l = make_layout(spec, printer);
  QPainter painter;
  if (!painter.begin(&printer)) return 0;
  const int page_h = l.text_rect.height();
  for (int i = 0; i < l.pages; ++i) {
    if (i > 0 && !printer.newPage()) return 0;
    if (!l.stamp_rect.isEmpty()) painter.drawImage(l.stamp_rect, stamp_image());
    painter.save();
    painter.translate(l.text_rect.left(), l.text_rect.top() - i * page_h);
    const QRectF clip(0, i * page_h, l.text_rect.width(), page_h);
    painter.setClipRect(clip);
    QAbstractTextDocumentLayout::PaintContext ctx;
    ctx.clip = clip;
    ctx.palette.setColor(QPalette::Text, Qt::black);
    l.doc->documentLayout()->draw(&painter, ctx);
    painter.restore();
  }
  return painter.end() ? l.pages : 0;
}

}  // namespace vtpagina
