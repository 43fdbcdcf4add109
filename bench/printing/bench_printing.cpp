// The printing library's costs, offscreen: a 100-page protocol text to PDF,
// opening its preview, and filling a 1 MiB template with 10,000
// placeholders.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <string>

#include "printing/fill.h"
#include "printing/preview_window.h"
#include "printing/print_job.h"

namespace {

QApplication& app() {
  static QApplication* instance = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "bench_printing";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *instance;
}

// About 60 lines a page in the default font.
std::string protocol_text(int pages) {
  std::string s;
  for (int i = 0; i < pages * 60; ++i)
    s += "Подпись " + std::to_string(i) + ": Иванов Иван Иванович, подпись подтверждена, сертификат действителен\n";
  return s;
}

void BM_ProtocolToPdf100Pages(benchmark::State& state) {
  app();
  QTemporaryDir dir;
  const std::string pdf = dir.filePath(QStringLiteral("bench.pdf")).toStdString();
  ::setenv("DOSSAR_PRINT_PDF", pdf.c_str(), 1);
  const std::string text = protocol_text(100);
  PrintListItem head{text.c_str(), PRINT_ITEM_TEXT, nullptr};
  for (auto _ : state) vtpagina::run_pagina(&head, nullptr, 0, 0);
  ::unsetenv("DOSSAR_PRINT_PDF");
}
BENCHMARK(BM_ProtocolToPdf100Pages)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PreviewOpens100Pages(benchmark::State& state) {
  app();
  ::setenv("DOSSAR_PRINT_PDF", "/nonexistent/never-written.pdf", 1);
  const std::string text = protocol_text(100);
  PrintListItem head{text.c_str(), PRINT_ITEM_TEXT, nullptr};
  for (auto _ : state) {
    vtpagina::run_pagina(&head, nullptr, 1, 0);
    QCoreApplication::processEvents();
    state.PauseTiming();
    vtpagina::end_print();
    state.ResumeTiming();
  }
  ::unsetenv("DOSSAR_PRINT_PDF");
}
BENCHMARK(BM_PreviewOpens100Pages)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Fill1MiB10000Placeholders(benchmark::State& state) {
  const char* names[] = {"[!FILE_NAME!]", "[!SIGNATURES!]", "[!NUMBER_SIGN!]", "[!BODY!]", "[!TEXT!]"};
  std::string tmpl;
  int placed = 0;
  while (tmpl.size() < (1u << 20)) {
    tmpl.append(90, 'x');
    if (placed < 10000) tmpl += names[placed++ % 5];
    tmpl += '\n';
  }
  const PrintSignatureList list{"document.odt", "\r\n1. Иванов, подпись подтверждена", 1};
  PrintListItem path{"t", PRINT_ITEM_TEMPLATE_PATH, nullptr};
  PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &path};
  const vtpagina::PrintItems items = vtpagina::collect_items(&head);
  for (auto _ : state) benchmark::DoNotOptimize(vtpagina::job_text(vtpagina::decode_template(tmpl), items));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(tmpl.size()));
}
BENCHMARK(BM_Fill1MiB10000Placeholders)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
