// Password hashes of user accounts: the legacy 32-bit hash (a CRC-32 variant
// kept in a user record's PASSWORD word) and bcrypt hashes ("$2a$", cost 12,
// 60 characters, kept as PASSWORDV2), with their constant-time check.
// The slow steps can be handed to a worker thread (the OffThread forms), so
// that a request that hashes steps aside instead of holding up the server.
// Foundation layer: calls libxcrypt, the CRC-32 register, the platform random
// source, the platform worker pool and the log call. No shared state; the
// plain forms are safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Sizes and constants ---

// Every setting and hash text is held in a field of this many bytes (NUL
// included). A bcrypt setting is 29 characters, a bcrypt hash 60.
constexpr size_t kPasswordFieldSize = 64;
constexpr size_t kBcryptSettingLength = 29;  // "$2a$" NN "$" + 22 salt characters
constexpr size_t kBcryptHashLength = 60;     // setting + 31 hash characters
constexpr size_t kBcryptSaltBytes = 16;      // random bytes behind a setting
// The longest password the hashing library takes: a longer one is never
// hashed (HashPasswordWithSalt fails) nor checked. bcrypt itself reads the
// first 72 bytes of the password.
constexpr size_t kMaxHashedPasswordBytes = 511;

// Cost of every new hash, and the range outside which a cost falls back to it.
constexpr int kBcryptDefaultCost = 12;
constexpr int kBcryptMinCost = 4;
constexpr int kBcryptMaxCost = 31;

// Highest cost a stored hash may carry to be verified. Every hash this system
// makes has cost 12; each step doubles the work, and a stored "$2a$31$…"
// would hold the server's one working thread for about a day per logon.
constexpr int kBcryptMaxVerifyCost = 16;

// Start value of the CRC-32 register for the legacy hash.
constexpr uint32_t kPasswordCrcStart = 0x101;

// First byte of a "password" that is really a legacy hash written in hex.
constexpr char kPasswordHashMarker = '\x08';

// --- Legacy 32-bit hash ---

// The legacy hash of a password:
//  - null gives 0;
//  - a text beginning with the byte 0x08 is a hash given in place of the
//    password: the rest is read as hex the way strtoul(…, 16) reads it on a
//    32-bit unsigned long (leading white space, an optional sign, an optional
//    "0x"; stops at the first non-hex character; 0 when there is no digit;
//    0xFFFFFFFF when the number does not fit; '-' negates modulo 2^32);
//  - any other text gives CalcCRC32 of its bytes with start 0x101, so the
//    empty password gives 0 and "abc" gives 0xD2BCC3A6.
uint32_t GetPasswordCRC(const char* password);

// --- bcrypt ---

// True when `text` is exactly a bcrypt hash: "$2a$", "$2b$" or "$2y$", two
// cost digits, '$', then 53 characters of [./A-Za-z0-9] — 60 in all.
// Only such texts are ever verified; anything else (DES, MD5, SHA texts the
// library would otherwise accept) is not a password hash of this system.
bool IsBcryptHash(const char* text);

// Makes a new bcrypt setting in `setting` (kPasswordFieldSize bytes): 16
// bytes from the system generator, "$2a$" and `cost` (a cost below 4 or above
// 31 becomes 12). Returns 0 ok; the random source's negative status when it
// failed (logged as "Error while generating random bytes: %d", error flag
// set); 5 when the library cannot make the setting or `setting` is null.
// On failure `setting` holds the empty text.
int GenerateSalt(int cost, char* setting);

// Hashes `password` with `setting` (a setting or a whole stored hash, which
// begins with its setting) into `hash` (kPasswordFieldSize bytes). Returns 0
// ok; 1 when the library cannot compute it, an argument is null or the result
// would not fit the field. On failure `hash` holds the empty text. The
// library's 32 KiB work area is taken from the heap per call and wiped.
int HashPasswordWithSalt(const char* password, const char* setting, char* hash);

// Makes a new cost-12 setting and the hash of `password` with it (both
// fields kPasswordFieldSize bytes); the caller stores the 60-character hash.
// Returns 0 ok, otherwise the code of the step that failed (GenerateSalt's,
// logged as "Error while generating salt: %d"; HashPasswordWithSalt's,
// logged as "Error while generating password: %d"; both with the error flag
// clear). On failure both fields hold the empty text.
int GeneratePasswordHash(const char* password, char* setting, char* hash);

// Fuzzing and load-test seam: the cost of the hashes GeneratePasswordHash
// makes (outside kBcryptMinCost..kBcryptMaxCost: back to kBcryptDefaultCost).
void SetNewHashCostForTest(int cost);

// Checks `password` against the stored bcrypt hash `storedHash`. Returns 0
// on a match; another non-zero value on a mismatch (CompareHashes' result);
// -1 when the hash cannot be computed: a null argument, a stored text that
// is not exactly a bcrypt hash (IsBcryptHash), a stored cost above
// kBcryptMaxVerifyCost (refused before any work), or a library failure. Callers
// accept the password only on exactly 0. Logs nothing.
int CheckPasswordHash(const char* password, const char* storedHash);

// --- Off the server thread ---
// Each does what its plain form does, with the hash computed on a worker
// thread while the calling request's task steps aside (platform/
// worker_pool.h); outside a task they are the plain forms. The worker gets
// copies of the texts, which are wiped afterwards; everything that logs runs
// on the calling thread. A task cancelled meanwhile (its connection is gone)
// gets the failure of the step: -1 from a check, 1 from a hash.

// CheckPasswordHash.
int CheckPasswordHashOffThread(const char* password, const char* storedHash);
// GetPasswordCRC(password) == legacyHash: true on a match.
bool LegacyPasswordMatchesOffThread(const char* password, uint32_t legacyHash);
// GeneratePasswordHash: the setting is made on the calling thread, the hash
// on a worker; the same codes and log lines.
int GeneratePasswordHashOffThread(const char* password, char* setting, char* hash);
// True when `password` matches any of the bcrypt texts `hashes` (a password
// history); each is one CheckPasswordHash, all in one hand-over.
bool PasswordMatchesAnyOffThread(const char* password, const char* const* hashes, size_t count);

// The work a check costs where there is nothing to check: one bcrypt of
// `password` at the cost new hashes get, against a hash that matches
// nothing. A logon of a name that does not exist (or of a user whose
// password is held in the legacy form alone) spends it, so that it takes as
// long as a wrong password of a user with a new hash. Always false (also
// for a null password, which costs the same).
bool CheckPasswordAgainstNothingOffThread(const char* password);

// The legacy check (as LegacyPasswordMatchesOffThread) and the work of
// CheckPasswordAgainstNothingOffThread, in one hand-over.
bool LegacyPasswordMatchesAtHashCostOffThread(const char* password, uint32_t legacyHash);

// Compares two hash texts in time that depends on their length only: 1 when
// the lengths differ (or either is null), otherwise the OR of the XOR of
// every pair of bytes over the whole length, with no early exit — 0 when
// equal, non-zero otherwise.
int CompareHashes(const char* a, const char* b);

// True when `given` equals the non-empty `secret`, in time that depends on
// the length of `given` alone: every byte of `given` is compared with the
// secret's byte at the same place (taken round the secret when `given` is the
// longer), the length difference folded into the same accumulator, no early
// exit. False for a null or empty secret, and for a null `given`.
bool SecretTextMatches(const char* given, const char* secret);
