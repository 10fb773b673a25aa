// The server information requests: a fresh UID for a node the client is about
// to create (6606), the server's version, port and home directory as text
// (6627), its internal version number (6628), and the password-rules text,
// read (6663) and replaced by an administrator (6665).
// Requests layer: calls the handler conventions, the settings API of the
// configuration store, UID allocation, the server settings, the wire and the log.
#pragma once

#include <string>

// ---- Handlers (each is given the connection's socket; results are not used) ----------

int IPGetNewNodeID(int sock);          // 6606: int32 new UID
int IPGetServerInformation(int sock);  // 6627: wire string, the server information text
int IPGetServerVer(int sock);          // 6628: int32 internal version (no logon needed)
int IPGetPWRules(int sock);            // 6663: wire string, the rules or null (no logon needed)
int IPSetPWRules(int sock);            // 6665: int32 code; administrators only (49)

// ---- Operations behind them -------------------------------------------------------------

// "TorvaneServer\r\nVersion=<version> <build>\r\nPort=<port>\r\nHome Directory=<home>\r\n"
// from the server settings, whatever the length of the home directory.
std::string BuildServerInformationText();

// Replaces the password rules (Live/Torvane "Settings\PWRules") and rewrites
// the server's settings file. 2 for a null text (nothing changes); otherwise
// the code of SetSettingString (2 for a text that is not valid text, 17, 18,
// 1, the write's code).
int SetPWRulesString(const char* text);
