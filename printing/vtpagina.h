/* The exports of the printing library, loaded by the name "VTPagina.dll".
 *
 * A caller hands over its data as a list of PrintListItem nodes that it owns
 * and keeps alive for the one call; the library copies what it needs before
 * the call returns. Texts are zero-terminated UTF-8. The library keeps one
 * font record and one indent record for the process; the getters return
 * pointers into them, and a caller may write the values.
 *
 * Every export needs the host's QApplication and runs on its GUI thread; a
 * call from another thread is carried there and waited for. Without a
 * QApplication every export returns failure (null or 0). */
#ifndef DOSSAR_PRINTING_VTPAGINA_H
#define DOSSAR_PRINTING_VTPAGINA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VTPAGINA_BUILDING)
#define VTPAGINA_API __attribute__((visibility("default")))
#else
#define VTPAGINA_API
#endif

/* Kinds of a list node. */
enum {
  PRINT_ITEM_TEXT = 0,          /* const char*: printed as it is when no template is given */
  PRINT_ITEM_CERTIFICATE = 1,   /* const PrintCertificateInfo* */
  PRINT_ITEM_REQUEST = 2,       /* const PrintRequestInfo* */
  PRINT_ITEM_TEMPLATE_PATH = 3, /* const char* */
  PRINT_ITEM_BODY = 4,          /* const char*: put in place of "[!BODY!]" */
  PRINT_ITEM_PROTOCOL = 5,      /* const PrintProtocol* */
  PRINT_ITEM_SIGNATURE_LIST = 6 /* const PrintSignatureList* */
};

typedef struct PrintListItem {
  const void* value;
  int32_t kind;
  const struct PrintListItem* next;
} PrintListItem;

/* A distinguished name, one text per attribute (null: not present). */
typedef struct PrintNameRecord {
  const char* c;
  const char* sp;
  const char* l;
  const char* o;
  const char* ou;
  const char* t;
  const char* cn;
  const char* email;
} PrintNameRecord;

typedef struct PrintCertificateInfo {
  const char* version;
  const char* serial_number;
  const char* not_before;
  const char* not_after;
  PrintNameRecord issuer;
  PrintNameRecord subject;
  const char* public_key;
  const char* extensions;
  const char* signature;
  const char* text;
} PrintCertificateInfo;

typedef struct PrintRequestInfo {
  const char* version;
  PrintNameRecord subject;
  const char* public_key;
  const char* signature;
  const char* text;
} PrintRequestInfo;

typedef struct PrintProtocolEntry {
  const char* signature_file;
  const char* validation;
} PrintProtocolEntry;

typedef struct PrintProtocolNode {
  const struct PrintProtocolNode* next;
  const struct PrintProtocolNode* previous;
  const PrintProtocolEntry* entry;
} PrintProtocolNode;

typedef struct PrintProtocol {
  const char* document_file;
  const char* ca_file;
  const char* crl_file;
  const char* user_file;
  int32_t reserved[2];
  const PrintProtocolNode* signatures;
  int32_t signature_count;
} PrintProtocol;

typedef struct PrintSignatureList {
  const char* file_name;
  const char* signatures;
  int32_t signature_count;
} PrintSignatureList;

/* The print font, field for field the classic logical-font record; the
 * height is in tenths of a point. */
typedef struct PrintFontRecord {
  int32_t lfHeight;
  int32_t lfWidth;
  int32_t lfEscapement;
  int32_t lfOrientation;
  int32_t lfWeight;
  uint8_t lfItalic;
  uint8_t lfUnderline;
  uint8_t lfStrikeOut;
  uint8_t lfCharSet;
  uint8_t lfOutPrecision;
  uint8_t lfClipPrecision;
  uint8_t lfQuality;
  uint8_t lfPitchAndFamily;
  char lfFaceName[32];
} PrintFontRecord;

/* Distances from the page edges in device units of the target. */
typedef struct PrintIndents {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
} PrintIndents;

/* Fills the template and shows the print preview (show nonzero) or prints at
 * once (show 0). A nonzero close flag closes the owner window when the
 * preview ends. */
VTPAGINA_API void DllPagina(const PrintListItem* items, const char* title, int32_t show, int32_t close_owner);
VTPAGINA_API PrintFontRecord* DllGetPrintFont(void);
VTPAGINA_API PrintIndents* DllGetPrintIndents(void);
/* The modal dialog "Настройка параметров печати". */
VTPAGINA_API void DllPrintSettings(void);
/* Closes a live preview at once: 1 when there was one, else 0. Call it
 * before unloading the library. */
VTPAGINA_API int32_t DllEndPrint(void);

typedef void (*DllPaginaFn)(const PrintListItem*, const char*, int32_t, int32_t);
typedef PrintFontRecord* (*DllGetPrintFontFn)(void);
typedef PrintIndents* (*DllGetPrintIndentsFn)(void);
typedef void (*DllPrintSettingsFn)(void);
typedef int32_t (*DllEndPrintFn)(void);

#ifdef __cplusplus
}
static_assert(sizeof(PrintFontRecord) == 60, "the font record keeps the classic layout");
static_assert(sizeof(PrintIndents) == 16, "four int32 indents");
#endif

#endif
