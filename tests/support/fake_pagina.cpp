// Stands in for the printing library (libVTPagina.so) where a test checks
// what a caller hands it: every DllPagina call's item list (kinds, the
// signature list and the template path, copied), title and flags, the
// indents record the caller wrote, and the DllEndPrint calls.
// FakePaginaRecorded answers them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "printing/vtpagina.h"

namespace {

struct Recorded {
  int paginaCalls = 0;
  int endPrintCalls = 0;
  std::string title;
  int32_t show = -1;
  int32_t closeOwner = -1;
  std::vector<int32_t> kinds;
  std::string fileName;
  std::string signatures;
  int32_t signatureCount = -1;
  std::string templatePath;
};

Recorded g_recorded;
PrintIndents g_indents{0, 0, 0, 0};

std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void DllPagina(const PrintListItem* items, const char* title, int32_t show,
                                                      int32_t close_owner) {
  Recorded& r = g_recorded;
  ++r.paginaCalls;
  r.title = text(title);
  r.show = show;
  r.closeOwner = close_owner;
  r.kinds.clear();
  for (const PrintListItem* item = items; item != nullptr; item = item->next) {
    r.kinds.push_back(item->kind);
    if (item->kind == PRINT_ITEM_SIGNATURE_LIST && item->value != nullptr) {
      const auto* list = static_cast<const PrintSignatureList*>(item->value);
      r.fileName = text(list->file_name);
      r.signatures = text(list->signatures);
      r.signatureCount = list->signature_count;
    }
    if (item->kind == PRINT_ITEM_TEMPLATE_PATH) r.templatePath = text(static_cast<const char*>(item->value));
  }
}

__attribute__((visibility("default"))) PrintIndents* DllGetPrintIndents(void) { return &g_indents; }

__attribute__((visibility("default"))) int32_t DllEndPrint(void) {
  ++g_recorded.endPrintCalls;
  return 0;
}

// The record of the calls, and the indents as the caller left them.
__attribute__((visibility("default"))) void FakePaginaRecorded(int* paginaCalls, int* endPrintCalls, const char** title,
                                                               int32_t* show, int32_t* closeOwner,
                                                               const int32_t** kinds, int* kindCount,
                                                               const char** fileName, const char** signatures,
                                                               int32_t* signatureCount, const char** templatePath,
                                                               PrintIndents* indents) {
  const Recorded& r = g_recorded;
  *paginaCalls = r.paginaCalls;
  *endPrintCalls = r.endPrintCalls;
  *title = r.title.c_str();
  *show = r.show;
  *closeOwner = r.closeOwner;
  *kinds = r.kinds.data();
  *kindCount = static_cast<int>(r.kinds.size());
  *fileName = r.fileName.c_str();
  *signatures = r.signatures.c_str();
  *signatureCount = r.signatureCount;
  *templatePath = r.templatePath.c_str();
  *indents = g_indents;
}

__attribute__((visibility("default"))) void FakePaginaReset(void) {
  g_recorded = Recorded{};
  g_indents = PrintIndents{0, 0, 0, 0};
}
}
