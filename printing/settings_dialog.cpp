#include "printing/settings_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "printing/print_document.h"

namespace vtpagina {
namespace {

// Face names are kept as UTF-8 in the record's 32 bytes, cut at a character
// boundary so the record never ends inside a character.
void store_face(PrintFontRecord& r, const QString& family) {
  const std::string utf8 = family.toStdString();
  std::size_t n = std::min(utf8.size(), sizeof r.lfFaceName - 1);
  while (n > 0 && n < utf8.size() && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  std::memset(r.lfFaceName, 0, sizeof r.lfFaceName);
  std::memcpy(r.lfFaceName, utf8.data(), n);
}

}  // namespace

PrintSettingsModel::PrintSettingsModel(const PrintFontRecord& font, const PrintIndents& indents) : font_(font) {
  const int32_t stored[4] = {indents.left, indents.top, indents.right, indents.bottom};
  for (std::size_t i = 0; i < 4; ++i) shown_[i] = std::clamp(stored[i] / 10, 0, kMaxShownIndent);
}

void PrintSettingsModel::set_indent(Side side, int shown) {
  shown_[static_cast<std::size_t>(side)] = std::clamp(shown, 0, kMaxShownIndent);
}

std::optional<int> PrintSettingsModel::parse_indent(const QString& text) {
  if (text.isEmpty() || text.size() > 3) return std::nullopt;
  int v = 0;
  for (QChar c : text) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    v = v * 10 + (c.unicode() - u'0');
  }
  return v;
}

QString PrintSettingsModel::font_text() const {
  const std::size_t len = strnlen(font_.lfFaceName, sizeof font_.lfFaceName);
  return QStringLiteral("%1 (%2)")
      .arg(QString::fromUtf8(font_.lfFaceName, static_cast<qsizetype>(len)))
      .arg(font_.lfHeight / 10);
}

QFont PrintSettingsModel::font() const { return font_from_record(font_); }

void PrintSettingsModel::set_font(const QFont& font) {
  store_face(font_, font.family());
  const double points = font.pointSizeF() > 0 ? font.pointSizeF() : 12.0;
  font_.lfHeight = static_cast<int32_t>(std::lround(points * 10));
  font_.lfWeight = static_cast<int32_t>(font.weight());
  font_.lfItalic = font.italic() ? 1 : 0;
  font_.lfUnderline = font.underline() ? 1 : 0;
  font_.lfStrikeOut = font.strikeOut() ? 1 : 0;
}

void PrintSettingsModel::commit(PrintFontRecord& font, PrintIndents& indents) const {
  font = font_;
  indents.left = shown_[0] * 10;
  indents.top = shown_[1] * 10;
  indents.right = shown_[2] * 10;
  indents.bottom = shown_[3] * 10;
}

PrintSettingsDialog::PrintSettingsDialog(PrintSettingsModel& model, Chooser chooser, QWidget* parent)
    : QDialog(parent), model_(model), chooser_(std::move(chooser)) {
  setWindowTitle(QStringLiteral("Настройка параметров печати"));
  auto* page = new QGroupBox(QStringLiteral("Параметры страницы"), this);
  auto* form = new QFormLayout(page);
  const char* labels[4] = {"Отступ слева", "Отступ сверху", "Отступ справа", "Отступ снизу"};
  for (std::size_t i = 0; i < 4; ++i) {
    auto* box = new QSpinBox(page);
    box->setRange(0, PrintSettingsModel::kMaxShownIndent);
    box->setValue(model_.indent(static_cast<Side>(i)));
    boxes_[i] = box;
    form->addRow(QString::fromUtf8(labels[i]), box);
  }

  auto* font_group = new QGroupBox(QStringLiteral("Выбор шрифта"), this);
  auto* font_layout = new QHBoxLayout(font_group);
  font_layout->addWidget(new QLabel(QStringLiteral("Текущий шрифт"), font_group));
  font_field_ = new QLineEdit(font_group);
  font_field_->setReadOnly(true);
  font_field_->setText(model_.font_text());
  font_field_->setMinimumWidth(font_field_->fontMetrics().horizontalAdvance(QStringLiteral("Courier New (99)")) + 24);
  font_layout->addWidget(font_field_, 1);
  change_ = new QPushButton(QStringLiteral("Сменить..."), font_group);
  font_layout->addWidget(change_);
  connect(change_, &QPushButton::clicked, this, [this] { change_font(); });

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(page);
  layout->addWidget(font_group);
  layout->addWidget(buttons);
}

void PrintSettingsDialog::change_font() {
  if (!chooser_) return;
  if (const std::optional<QFont> chosen = chooser_(model_.font(), this)) {
    model_.set_font(*chosen);
    font_field_->setText(model_.font_text());
  }
}

void PrintSettingsDialog::accept() {
  for (std::size_t i = 0; i < 4; ++i) {
    boxes_[i]->interpretText();
    model_.set_indent(static_cast<Side>(i), boxes_[i]->value());
  }
  QDialog::accept();
}

}  // namespace vtpagina
