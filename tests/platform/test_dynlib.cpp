#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/dynlib.h"

namespace platform {
namespace {

const std::string kStandins = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/lib";
const std::string kBroken = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/broken";

TEST(DynLibNames, MapsWindowsNames) {
  struct Case {
    const char* windows;
    const char* so;
  };
  const Case cases[] = {
      {"vtcrptn.dll", "libvtcrptn.so"},
      {"SnElLock.dll", "libSnElLock.so"},
      {"tmdrv32.DLL", "libtmdrv32.so"},
      {"noext", "libnoext.so"},
  };
  for (const auto& c : cases) EXPECT_EQ(dynlib_map_name(c.windows), c.so);
  dynlib_register_name("IBFS32.DLL", "libtouch-memory.so");
  EXPECT_EQ(dynlib_map_name("ibfs32.dll"), "libtouch-memory.so");  // as case-blind as the Windows loader
}

TEST(DynLibNames, SearchFoldersComeFromTheEnvironmentFirst) {
  setenv("DOSSAR_LIB_PATH", "/a::/b/c", 1);
  const auto dirs = dynlib_search_dirs();
  ASSERT_GE(dirs.size(), 3u);
  EXPECT_EQ(dirs[0], "/a");
  EXPECT_EQ(dirs[1], "/b/c");
  unsetenv("DOSSAR_LIB_PATH");
  EXPECT_NE(dynlib_search_dirs().front(), "/a");
}

TEST(DynLib, LoadsAndBindsFromTheSearchFolders) {
  setenv("DOSSAR_LIB_PATH", kStandins.c_str(), 1);
  DynLib lib;
  ASSERT_TRUE(lib.open("SnElLock.dll"));
  const char* names[] = {"sbisCard", "sbGetRand"};
  void* fns[2] = {};
  EXPECT_TRUE(lib.bind_all(names, fns, 2));
  EXPECT_NE(fns[0], nullptr);
  EXPECT_NE(fns[1], nullptr);
  const char* with_missing[] = {"sbisCard", "noSuchExport", "sbGetRand"};
  void* three[3] = {};
  EXPECT_FALSE(lib.bind_all(with_missing, three, 3));
  EXPECT_EQ(three[0], nullptr);  // all or none
  EXPECT_EQ(three[2], nullptr);
  DynLib moved = std::move(lib);
  EXPECT_FALSE(lib.loaded());  // NOLINT(bugprone-use-after-move): a moved-from library must own nothing, and say so
  EXPECT_TRUE(moved.loaded());
  moved.close();
  EXPECT_FALSE(moved.loaded());
  EXPECT_EQ(moved.symbol("sbisCard"), nullptr);
  unsetenv("DOSSAR_LIB_PATH");
}

TEST(DynLib, RefusesWhatIsNotThere) {
  setenv("DOSSAR_LIB_PATH", (kBroken + ":" + kStandins).c_str(), 1);
  DynLib lib;
  EXPECT_FALSE(lib.open("nothere.dll"));
  EXPECT_FALSE(lib.open(""));
  EXPECT_FALSE(lib.open("../lib/SnElLock.dll"));  // no folders in the name
  EXPECT_FALSE(lib.open("..\\SnElLock.dll"));
  // The first folder that holds the file wins, even when it is the damaged one.
  ASSERT_TRUE(lib.open("tmdrv32.dll"));
  EXPECT_EQ(lib.symbol("TmGetRandomBytes"), nullptr);
  EXPECT_NE(lib.symbol("TmGetInfo"), nullptr);
  unsetenv("DOSSAR_LIB_PATH");
  EXPECT_FALSE(lib.open("SnElLock.dll"));  // not next to the test program
}

// The PC/SC service is the machine's own: with no copy in the search
// folders it binds by soname from the system path; any other name never
// does, and a copy in a search folder (the tests' stand-in) wins.
TEST(DynLib, ThePcscServiceComesFromTheSystem) {
  setenv("DOSSAR_LIB_PATH", kStandins.c_str(), 1);
  EXPECT_EQ(dynlib_system_name("WINSCARD.DLL"), "libpcsclite.so.1");
  EXPECT_EQ(dynlib_system_name("vxsdk"), "");
  DynLib pcsc;
  ASSERT_TRUE(pcsc.open("WinSCard.dll"));
  EXPECT_NE(pcsc.symbol("SCardEstablishContext"), nullptr);
  DynLib other;
  EXPECT_FALSE(other.open("pcsclite.dll"));  // only the registered service leaves the folders
  dynlib_register_system_name("WinSCard.dll", "");
  DynLib none;
  EXPECT_FALSE(none.open("WinSCard.dll"));
  dynlib_register_system_name("WinSCard.dll", "libpcsclite.so.1");
  const std::string media = std::string(DOSSAR_BINARY_DIR) + "/stand-ins/media";
  setenv("DOSSAR_LIB_PATH", media.c_str(), 1);
  DynLib standin;
  ASSERT_TRUE(standin.open("WinSCard.dll"));
  EXPECT_EQ(standin.symbol("SCardEstablishContext"), nullptr) << "the stand-in in the folder answers first";
  unsetenv("DOSSAR_LIB_PATH");
}

}  // namespace
}  // namespace platform
