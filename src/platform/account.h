// The account the server runs under and the logon switches kept as process
// settings: the computer's domain (explicit, or the domain part of the
// account), and the integration password switch (off unless turned on).
// Platform layer: calls the C library's user database only.
#pragma once

#include <optional>
#include <string>

// The account the process runs under in the DOMAIN\user form when the user
// database names it so (a plain "user" otherwise). False when the effective
// user has no entry.
bool GetAccountNameSamCompatible(std::string& out);
// Tests: the account name GetAccountNameSamCompatible gives (nullopt: the
// real one).
void SetAccountNameOverride(const std::optional<std::string>& name);

// An explicit computer domain, used in place of the account's domain part.
// At first use the environment variable TORVANE_COMPUTER_DOMAIN (when set)
// gives the starting value. nullopt: take it from the account.
void SetComputerDomainSetting(const std::optional<std::string>& domain);
std::optional<std::string> GetComputerDomainSetting();

// The integration password logs users on only while this switch is on. Off
// by default; at first use TORVANE_INTEGRATION_PASSWORD=1 turns it on.
void SetIntegrationPasswordEnabled(bool enabled);
bool IntegrationPasswordEnabled();
