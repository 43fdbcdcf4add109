#include "dsutils/com/engine_operations.h"

#include "dsutils/engine/mail.h"
#include "dsutils/engine/operation_kit.h"
#include "dsutils/engine/unpack_file.h"

namespace dsutils {

// The engine's operations never free their job and write a code into it on
// every failure; each answers 1 when the whole job ran to its end.
OperationTable engine_operations() {
  OperationTable table;
  table.signGroup = [](OperationJob& job) { return SignGroup(&job) != 0; };
  table.encryptGroup = [](OperationJob& job) { return EncryptGroup(&job) != 0; };
  table.signEncryptGroup = [](OperationJob& job) { return SignEncryptGroup(&job) != 0; };
  table.unpackGroup = [](OperationJob& job) { return UnpackGroup(&job) != 0; };
  table.unpackFile = [](OperationJob& job) { return UnpackFile(&job) != 0; };
  table.mailSignEncrypt = [](MailJob& job) { return MailSignEncrypt(&job) != 0; };
  table.mailUnpack = [](MailJob& job) { return MailUnpack(&job) != 0; };
  return table;
}

}  // namespace dsutils
