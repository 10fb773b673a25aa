// The account the server runs under and the logon switches kept as process
// settings: the computer's domain (explicit, or the domain part of the
// account), the integration password switch (off unless turned on), the
// server logon's secret and the trusted directory-user logon switch (both off
// unless the environment gives them), and the other texts the process takes
// from its environment (the first passwords of a new home, say).
// Platform layer: calls the C library's user database and environment only.
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

// The server logon ("#" with a client ID above 65535) works only with this
// secret as its password; an empty secret switches it off. At first use the
// environment variable TORVANE_SERVER_LOGON_SECRET gives the starting value
// (unset: empty).
void SetServerLogonSecret(const std::string& secret);
std::string GetServerLogonSecret();

// The directory-user logon without a password (the client vouches for the
// user) is allowed only while this switch is on. Off by default; at first use
// TORVANE_TRUSTED_AD_USER_LOGON=1 turns it on.
void SetTrustedADUserLogonEnabled(bool enabled);
bool TrustedADUserLogonEnabled();

// The text of the environment variable `name` (empty when it is set to
// nothing), or nullopt when it is not set or `name` is null.
std::optional<std::string> GetEnvironmentText(const char* name);
