// Test builds only: the answers of a service's dialogs read from a file
// (DOSSAR_TEST_UI_SCRIPT), one per line, each object served from the top:
//   password <text>   the next password prompt
//   message <n>       the next box's button
//   delay <ms>        each question (box, dialog, prompt) waits this long first
// A question with no answer left is counted and cancelled; the count goes to
// stderr when the object ends, and each password prompt is told there.
#pragma once

#include <QString>
#include <memory>

#include "dsutils/engine/ui.h"

namespace dsutils::bus {

std::unique_ptr<EngineUi> LoadScriptUi(const QString& file);

}  // namespace dsutils::bus
