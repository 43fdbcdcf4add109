// The folder tree behind the stand-in tokens: root/<PC/SC reader name>/ is
// a reader, its sub-folder "token" the token in it (absent: an empty
// reader); inside, every folder and file is named by its 16-bit id as four
// lower-case hex digits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

std::vector<std::string> token_readers();
// A file created with the token's protection flag has an empty marker file
// beside it, named as the file plus ".protected" (no file id, so no listing
// shows it); a test reads the flag from it. Deleting the file drops it.
void token_mark_protected(const std::string& file, bool on);
// The token folder of a reader, or empty when the reader holds no token
// (or the device is missing).
std::string token_folder(const std::string& reader);
std::string id_name(uint16_t id);
bool parse_id(const std::string& name, uint16_t* id);

}  // namespace standin
