// A certificate viewer for the tests of its loader: SetDataFromBuffer keeps
// a copy of the bytes it was handed, FakeViewerRecorded gives them back.
// Built once with the export and once without it (FAKE_VIEWER_NO_EXPORT).
#include <string>

namespace {
std::string g_recorded;
int g_calls = 0;
}  // namespace

#ifndef FAKE_VIEWER_NO_EXPORT
extern "C" __attribute__((visibility("default"))) void SetDataFromBuffer(const unsigned char* data, int length) {
  ++g_calls;
  g_recorded.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}
#endif

// The number of calls; `*data` and `*length` the bytes of the last one.
extern "C" __attribute__((visibility("default"))) int FakeViewerRecorded(const char** data, int* length) {
  *data = g_recorded.data();
  *length = static_cast<int>(g_recorded.size());
  return g_calls;
}
