// The C interface as a C caller sees it: the shared library loaded at run
// time, by name only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "support/test_paths.h"
#include "tessaly/tessaly.h"

namespace {

struct Api {
  void* lib = nullptr;
  decltype(&tessaly_check_new) make = nullptr;
  decltype(&tessaly_check_free) drop = nullptr;
  decltype(&tessaly_check_set) set = nullptr;
  decltype(&tessaly_check_get) get = nullptr;
  decltype(&tessaly_version) version = nullptr;
};

template <typename F>
void Load(void* lib, const char* name, F* fn) {
  *fn = reinterpret_cast<F>(dlsym(lib, name));
  ASSERT_NE(*fn, nullptr) << name;
}

TEST(CApiTest, PropertiesByNameAnyCase) {
  const std::string path = tessaly::testing::BinaryDir() + "/src/host/libtessaly.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  Api api;
  Load(lib, "tessaly_check_new", &api.make);
  Load(lib, "tessaly_check_free", &api.drop);
  Load(lib, "tessaly_check_set", &api.set);
  Load(lib, "tessaly_check_get", &api.get);
  Load(lib, "tessaly_version", &api.version);
  EXPECT_EQ(dlsym(lib, "_ZN7tessaly10RunCheckERKNS_11CheckRunEnvEPNS_7VariantERKS3_PNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"), nullptr)
      << "internal symbols stay hidden";
  tessaly_check* check = api.make();
  ASSERT_NE(check, nullptr);
  for (const char* name : {"vg_parameter", "VG_TIMEOUT", "Vg_HostName", "vg_result"}) {
    EXPECT_STREQ(api.get(check, name), "") << name;
    EXPECT_EQ(api.set(check, name, "v1"), 0) << name;
    EXPECT_STREQ(api.get(check, name), "v1") << name;
  }
  EXPECT_EQ(api.set(check, "vg_other", "x"), -1);
  EXPECT_EQ(api.get(check, "vg_other"), nullptr);
  EXPECT_EQ(api.set(check, nullptr, "x"), -1);
  EXPECT_EQ(api.set(check, "vg_result", nullptr), 0);
  EXPECT_STREQ(api.get(check, "vg_result"), "");
  EXPECT_STRNE(api.version(), "");
  api.drop(check);
  api.drop(nullptr);
  dlclose(lib);
}

// A worker left running by a timed-out name lookup may still be in the
// library's code when the host closes it: the library stays mapped.
TEST(CApiTest, StaysLoadedAfterDlclose) {
  const std::string path = tessaly::testing::BinaryDir() + "/src/host/libtessaly.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  dlclose(lib);
  void* again = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  EXPECT_NE(again, nullptr) << "unmapped by dlclose";
  if (again != nullptr) dlclose(again);
}

}  // namespace
