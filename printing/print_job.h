// The library's process-wide state and the work behind each export. Every
// function here runs on the GUI thread; exports.cpp carries calls there.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "printing/print_document.h"
#include "printing/print_target.h"
#include "printing/vtpagina.h"

class QWidget;
class QFont;

namespace vtpagina {

class PreviewWindow;

// The records the getters hand out; set to their defaults on first use.
PrintFontRecord& font_record();
PrintIndents& indent_record();

inline constexpr const char* kNoPrinterText =
    "Перед тем как производить печать, требуется установить принтер.\n"
    "Для этого используйте команды 'Настройка', 'Принтеры' в меню 'Пуск'";
inline constexpr const char* kNoPrinterCaption = "Ostrel Печать";
inline constexpr const char* kDefaultTitle = "Предварительный просмотр";

// Whether a print target exists; when not, the message is shown (owned by the
// active window) and false returned.
bool check_target(const PrintTarget& target);

void run_pagina(const PrintListItem* items, const char* title, int32_t show, int32_t close_owner);
int32_t end_print();
void run_print_settings();

// Prints a job to the target; false when it was cancelled or failed.
bool print_to_target(const PrintSpec& spec, const PrintTarget& target, const QString& title, QWidget* parent);

// The preview of the last job while it lives.
PreviewWindow* live_preview();

// Reads a template file: nullopt when it cannot be opened, is not a regular
// file or is larger than kMaxTemplateBytes.
std::optional<std::string> read_template_file(const std::string& path);

// How "Сменить..." asks for a font; replaceable for tests.
using FontChooser = std::function<std::optional<QFont>(const QFont& initial, QWidget* parent)>;
FontChooser default_font_chooser();
void set_font_chooser(FontChooser chooser);  // an empty one restores the default

}  // namespace vtpagina
