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
// The token folder of a reader, or empty when the reader holds no token
// (or the device is missing).
std::string token_folder(const std::string& reader);
std::string id_name(uint16_t id);
bool parse_id(const std::string& name, uint16_t* id);

}  // namespace standin
