// vtpagina-print: prints a verification stamp through the printing library,
// loaded by its published name and called through its exports, as the
// verification dialog does. The output goes to a PDF file (no printer, no
// dialog), so the program also runs headless (QT_QPA_PLATFORM=offscreen).
//
//   vtpagina-print --template F --signature-list NAME --signatures F --pdf OUT [--preview]
//
// --preview opens the preview instead of printing at once; its "Печать..."
// writes OUT. The program ends when the preview closes.
#include <QApplication>
#include <QFile>
#include <QMainWindow>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/dynlib.h"
#include "printing/vtpagina.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: vtpagina-print --template F --signature-list NAME --signatures F --pdf OUT [--preview]\n");
  return 2;
}

bool read_text(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  // The list is small; a bigger file is not a list of signatures.
  return out.size() <= (1u << 20);
}

}  // namespace

int main(int argc, char** argv) {
  std::string template_path, list_name, signatures_path, pdf;
  bool preview = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--template") {
      ok = value(template_path);
    } else if (a == "--signature-list") {
      ok = value(list_name);
    } else if (a == "--signatures") {
      ok = value(signatures_path);
    } else if (a == "--pdf") {
      ok = value(pdf);
    } else if (a == "--preview") {
      preview = true;
    } else {
      ok = false;
    }
    if (!ok) return usage();
  }
  if (template_path.empty() || list_name.empty() || signatures_path.empty() || pdf.empty()) return usage();

  std::string signatures;
  if (!read_text(signatures_path, signatures)) {
    std::fprintf(stderr, "vtpagina-print: cannot read the signatures from %s\n", signatures_path.c_str());
    return 1;
  }
  // The library would say so in a message box, which nobody answers headless.
  if (std::ifstream probe(template_path, std::ios::binary); !probe) {
    std::fprintf(stderr, "vtpagina-print: cannot read the template %s\n", template_path.c_str());
    return 1;
  }
  int count = 0;
  for (std::size_t from = 0; from < signatures.size();) {
    std::size_t nl = signatures.find('\n', from);
    if (nl == std::string::npos) nl = signatures.size();
    if (signatures.find_first_not_of(" \t\r", from) < nl) ++count;
    from = nl + 1;
  }

  // The PDF target of the library, without a save dialog.
  ::setenv("DOSSAR_PRINT_PDF", pdf.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): no thread runs yet
  std::remove(pdf.c_str());
  QApplication app(argc, argv);

  platform::DynLib lib;
  if (!lib.open("VTPagina.dll")) {
    std::fprintf(stderr, "vtpagina-print: VTPagina.dll (libVTPagina.so) was not found\n");
    return 1;
  }
  const char* names[] = {"DllPagina", "DllGetPrintIndents", "DllEndPrint"};
  void* addr[3] = {};
  if (!lib.bind_all(names, addr, 3)) {
    std::fprintf(stderr, "vtpagina-print: the library lacks its exports\n");
    return 1;
  }
  const auto pagina = reinterpret_cast<DllPaginaFn>(addr[0]);
  const auto indents = reinterpret_cast<DllGetPrintIndentsFn>(addr[1]);
  const auto end_print = reinterpret_cast<DllEndPrintFn>(addr[2]);

  // The verification dialog's page indents.
  if (PrintIndents* in = indents(); in != nullptr) *in = PrintIndents{200, 200, 200, 200};

  const PrintSignatureList list{list_name.c_str(), signatures.c_str(), count};
  PrintListItem tmpl{template_path.c_str(), PRINT_ITEM_TEMPLATE_PATH, nullptr};
  PrintListItem head{&list, PRINT_ITEM_SIGNATURE_LIST, &tmpl};
  pagina(&head, "Штамп заключения о проверке ЭЦП", preview ? 1 : 0, 0);

  if (preview) {
    // Ends when the preview's window closes (printed or not).
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(w) != nullptr && w->isVisible()) return;
      app.quit();
    });
    poll.start(100);
    app.exec();
    end_print();
  }
  if (!QFile::exists(QString::fromLocal8Bit(pdf.c_str()))) {
    std::fprintf(stderr, "vtpagina-print: nothing was printed to %s\n", pdf.c_str());
    return 1;
  }
  std::printf("vtpagina-print: the stamp of %s (%d signature(s)) is in %s\n", list_name.c_str(), count, pdf.c_str());
  return 0;
}
