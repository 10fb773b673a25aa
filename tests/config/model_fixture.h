// Test fixture of the configuration model tests: a fresh home directory with
// envs/ and schemas/, a new configuration root on it, an empty node registry,
// the in-process UID counter, a fixed clock, no write-failure seam and no
// failed-to-load marks; all of it undone at the end of each test. Also the
// small-stack runner of the tests of walks over very deep or long trees.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <optional>
#include <string>
#include <sys/stat.h>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/store_file_state.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "support/temp_dir.h"

inline void ResetConfigStoreState() {
  SetAtomicWriteFailAfter(-1);
  ResetStoreFileMarks();
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
  ResetUIDAllocation();
  ClearClockOverride();
}

// Runs `fn` on a thread with a small stack (256 KB) and waits for it: a walk
// that recursed once per level or per sibling would overflow it on the trees
// of tens of thousands of nodes that these tests build, in every build type.
template <class Fn>
void RunOnSmallStack(Fn fn) {
  pthread_attr_t attr;
  ASSERT_EQ(0, pthread_attr_init(&attr));
  ASSERT_EQ(0, pthread_attr_setstacksize(&attr, 256 * 1024));
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<Fn*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(0, pthread_create(&thread, &attr, trampoline, &fn));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

class ModelFixture : public ::testing::Test {
 protected:
  static constexpr int64_t kFixedTime = 0x5F5E1000;  // 2020-09-13

  TempDir home;

  void SetUp() override {
    ResetConfigStoreState();
    SetClockOverride(kFixedTime);
    ::mkdir(home.File("envs").c_str(), 0755);
    ::mkdir(home.File("schemas").c_str(), 0755);
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  }
  void TearDown() override { ResetConfigStoreState(); }

  std::string EnvXml() const { return ReadWholeFile(home.File("env.xml")); }
  std::string SettingsFile(const char* stem) const { return ReadWholeFile(home.File(std::string("envs/") + stem + ".xml")); }

  // Adds an environment straight to the root (no file written).
  EnvironmentStruct* Env(const char* name) {
    EnvironmentStruct* e = FindEnvironment(name);
    return e != nullptr ? e : CreateEnvironment(GetConfigRoot(), name, 0);
  }
  // Adds an application to the environment (no file written).
  ApplicationStruct* App(const char* env, const char* name) {
    EnvironmentStruct* e = Env(env);
    ApplicationStruct* a = FindApplication(e, name);
    return a != nullptr ? a : AddApplication(e, name);
  }
  static std::string Names(const EnvironmentStruct* env) {
    std::string s;
    for (const ApplicationStruct& a : env->apps) s += (s.empty() ? "" : ",") + a.name;
    return s;
  }
  // The names along the chain that begins at `first`.
  static std::string Chain(const ParamTreeNode* first) {
    std::string s;
    for (const ParamTreeNode* n = first; n != nullptr; n = GetParamTreeNodeByUID(n->sibling))
      s += (s.empty() ? "" : ",") + n->name.value_or("?");
    return s;
  }
};
