// Test fixture of the settings-file reader and exchange tests: the model
// fixture's fresh home directory and root, with UIDs issued through uid.val
// in that home directory, no store-file marks and no cached server lists; and
// a compact text form of an application's trees to compare models with.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/server_lists.h"
#include "config/store_file_state.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "model_fixture.h"
#include "support/temp_dir.h"

class SettingsReaderFixture : public ModelFixture {
 protected:
  void SetUp() override {
    ModelFixture::SetUp();
    ResetStoreFileMarks();
    ResetServerLists();
    SetUIDDirectory(home.path.c_str());
  }
  void TearDown() override {
    ResetStoreFileMarks();
    ResetServerLists();
    ModelFixture::TearDown();
  }

  std::string SettingsPath(const char* stem) const { return home.File(std::string("envs/") + stem + ".xml"); }
  void WriteSettings(const char* stem, const std::string& text) const { WriteWholeFile(SettingsPath(stem), text); }

  // The tree from `first` along its chain: "Name=value" ("Name" without a
  // value), children in braces, siblings separated by ','; a node whose type
  // is not STRING or that is not a scalar is marked with '!'.
  static std::string Dump(const ParamTreeNode* first) {
    std::string s;
    for (const ParamTreeNode* n = first; n != nullptr; n = GetParamTreeNodeByUID(n->sibling)) {
      if (!s.empty()) s += ',';
      if (n->type != PARAM_TYPE_STRING || n->count != kParamScalarCount) s += '!';
      s += n->name.value_or("?");
      if (n->data && !n->data->strings.empty()) s += "=" + n->data->strings[0];
      if (n->child != 0) s += "{" + Dump(GetParamTreeNodeByUID(n->child)) + "}";
    }
    return s;
  }
  // Both trees of an application: "perm|config".
  static std::string DumpApp(const ApplicationStruct* app) {
    if (app == nullptr) return "<no application>";
    return Dump(app->permRoot) + "|" + Dump(app->configRoot);
  }
  // Every UID of the tree from `first`, in pre-order.
  static void CollectUIDs(const ParamTreeNode* first, std::vector<UID>& out) {
    for (const ParamTreeNode* n = first; n != nullptr; n = GetParamTreeNodeByUID(n->sibling)) {
      out.push_back(n->header.uid);
      if (n->child != 0) CollectUIDs(GetParamTreeNodeByUID(n->child), out);
    }
  }
};

// A registered record that is not a parameter node (stands for a user).
struct FakeUserRecord {
  NodeHeader header;
};
