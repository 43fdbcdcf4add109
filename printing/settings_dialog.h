// The print settings: a model over copies of the font and indent records
// (what the dialog shows and what OK stores) and the thin dialog over it.
#pragma once

#include <QDialog>
#include <QFont>
#include <array>
#include <functional>
#include <optional>

#include "printing/vtpagina.h"

class QLineEdit;
class QPushButton;
class QSpinBox;

namespace vtpagina {

enum class Side { Left = 0, Top = 1, Right = 2, Bottom = 3 };

class PrintSettingsModel {
 public:
  static constexpr int kMaxShownIndent = 999;

  PrintSettingsModel(const PrintFontRecord& font, const PrintIndents& indents);

  // The shown value: a tenth of the stored one, within 0..999.
  int indent(Side side) const { return shown_[static_cast<std::size_t>(side)]; }
  void set_indent(Side side, int shown);
  // Digits only, 0..999; nullopt for anything else.
  static std::optional<int> parse_indent(const QString& text);

  // "<face> (<points>)".
  QString font_text() const;
  // The record as a font for the font dialog.
  QFont font() const;
  // Takes a chosen font: face, size in tenths of a point, weight and style.
  void set_font(const QFont& font);
  const PrintFontRecord& font_copy() const { return font_; }

  // OK: the font and the indents times ten into the library's records.
  void commit(PrintFontRecord& font, PrintIndents& indents) const;

 private:
  PrintFontRecord font_;
  std::array<int, 4> shown_{};
};

class PrintSettingsDialog : public QDialog {
 public:
  using Chooser = std::function<std::optional<QFont>(const QFont& initial, QWidget* parent)>;

  PrintSettingsDialog(PrintSettingsModel& model, Chooser chooser, QWidget* parent = nullptr);

  QSpinBox* indent_box(Side side) const { return boxes_[static_cast<std::size_t>(side)]; }
  QLineEdit* font_field() const { return font_field_; }
  QPushButton* change_button() const { return change_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* cancel_button() const { return cancel_; }

  void accept() override;

 private:
  void change_font();

  PrintSettingsModel& model_;
  Chooser chooser_;
  std::array<QSpinBox*, 4> boxes_{};
  QLineEdit* font_field_ = nullptr;
  QPushButton* change_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace vtpagina
