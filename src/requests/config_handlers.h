// The configuration handlers: environment and application name lists, an
// application, a parameter node or tree as a transport block, setting and
// deleting settings, adding and deleting environments and applications.
// Requests layer: calls the handler conventions (rights, reads, replies), the
// configuration store (model, settings API, blocks, server lists) and the wire.
#pragma once

#include <optional>
#include <string>

// ---- Handlers reached through the message table (each given the socket) -----

int IPGetEnvNameList(int sock);               // 6614
int IPAddEnvironment(int sock);               // 6615
int IPAddApplicationToEnvironment(int sock);  // 6616
int IPGetApp(int sock);                       // 6617
int IPGetAppNameListForEnv(int sock);         // 6618
int IPSetParamValueFromString(int sock);      // 6619
int IPGetParamTreeNode(int sock);             // 6620
int IPDeleteSetting(int sock);                // 6621
int IPGetParamTree(int sock);                 // 6622
int IPDeleteApplication(int sock);            // 6623
int IPDeleteEnvironment(int sock);            // 6624

// ---- Handlers no message reaches (offered for completeness) ------------------

int IPAddSetting(int sock);
int IPUpdateSetting(int sock);
int IPGetSetting(int sock);
int IPIncrementParamValue(int sock);

// ---- Helpers ---------------------------------------------------------------------

// Releases each of the three received strings that is present.
void FreeThreeBuffers(std::optional<std::string>& a, std::optional<std::string>& b,
                      std::optional<std::string>& c);
