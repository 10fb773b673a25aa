// The legacy 32-bit password hash and the bcrypt hashes through libxcrypt.
// Foundation layer: calls libxcrypt, the CRC-32 register, the platform
// random source and worker pool, and the log call. No shared state.
#include "foundation/crypto/password_hash.h"

#include <crypt.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/crypto/crc32.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/util.h"
#include "platform/random_bytes.h"
#include "platform/worker_pool.h"

static_assert(kMaxHashedPasswordBytes == CRYPT_MAX_PASSPHRASE_SIZE - 1, "the library's bound on a password");

namespace {

// Codes of the bcrypt steps, as their callers expect them.
constexpr int kSaltFailed = 5;
constexpr int kHashFailed = 1;
constexpr int kCheckFailed = -1;

// Bytes that must never linger in freed memory or in a field a caller may
// keep: explicit_bzero is not optimised away.
void Wipe(void* p, size_t n) { explicit_bzero(p, n); }

// libxcrypt's work area is 32 KiB (struct crypt_data): far too large for the
// stack of every call. It comes zero-filled from the heap (the library asks
// for a zeroed area on first use) and is wiped before it is freed, since it
// holds the password's key schedule.
struct CryptDataDeleter {
  void operator()(crypt_data* d) const {
    Wipe(d, sizeof *d);
    free(d);
  }
};
using CryptDataPtr = std::unique_ptr<crypt_data, CryptDataDeleter>;

CryptDataPtr NewCryptData() { return CryptDataPtr(static_cast<crypt_data*>(calloc(1, sizeof(crypt_data)))); }

bool IsBcryptBase64(char c) {
  return c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

uint32_t GetPasswordCRC(const char* password) {
  if (password == nullptr) return 0;
  if (password[0] == kPasswordHashMarker) return ParseHex32LikeStrtoul(password + 1);
  return CalcCRC32(password, strlen(password), kPasswordCrcStart);
}

bool IsBcryptHash(const char* text) {
  if (text == nullptr) return false;
  // "$2" + variant + "$" + two digits + "$": 7 characters of prefix.
  if (text[0] != '$' || text[1] != '2') return false;
  if (text[2] != 'a' && text[2] != 'b' && text[2] != 'y') return false;
  if (text[3] != '$') return false;
  if (text[4] < '0' || text[4] > '9' || text[5] < '0' || text[5] > '9') return false;
  if (text[6] != '$') return false;
  size_t i = 7;
  for (; i < kBcryptHashLength; ++i) {
    if (!IsBcryptBase64(text[i])) return false;  // also stops at an early NUL
  }
  return text[i] == '\0';
}

int GenerateSalt(int cost, char* setting) {
  if (setting == nullptr) return kSaltFailed;
  setting[0] = '\0';

  unsigned char random[kBcryptSaltBytes];
  int status = GetRandomBytes(random, sizeof random);
  if (status < 0) {
    WriteLog(1, "Error while generating random bytes: %d", status);
    return status;
  }

  if (cost < kBcryptMinCost || cost > kBcryptMaxCost) cost = kBcryptDefaultCost;

  const char* made = crypt_gensalt_rn("$2a$", static_cast<unsigned long>(cost), reinterpret_cast<const char*>(random),
                                      static_cast<int>(sizeof random), setting, static_cast<int>(kPasswordFieldSize));
  Wipe(random, sizeof random);
  if (made == nullptr) {
    // The library leaves a failure token in the field; callers see nothing.
    Wipe(setting, kPasswordFieldSize);
    return kSaltFailed;
  }
  return 0;
}

int HashPasswordWithSalt(const char* password, const char* setting, char* hash) {
  if (hash == nullptr) return kHashFailed;
  hash[0] = '\0';
  if (password == nullptr || setting == nullptr) return kHashFailed;

  CryptDataPtr data = NewCryptData();
  if (!data) return kHashFailed;
  const char* out = crypt_rn(password, setting, data.get(), static_cast<int>(sizeof(crypt_data)));
  if (out == nullptr) return kHashFailed;

  // A bcrypt hash is 60 characters; other methods the library knows make
  // longer texts, which must not overrun the field.
  size_t len = strnlen(out, kPasswordFieldSize);
  if (len >= kPasswordFieldSize) return kHashFailed;
  memcpy(hash, out, len + 1);
  return 0;
}

namespace {
int g_newHashCost = kBcryptDefaultCost;
}  // namespace

void SetNewHashCostForTest(int cost) {
  g_newHashCost = cost >= kBcryptMinCost && cost <= kBcryptMaxCost ? cost : kBcryptDefaultCost;
}

namespace {

// The texts a worker hashes: its own copies, wiped when the job is done.
struct HashJob {
  std::string password;
  std::string setting;
  char hash[kPasswordFieldSize] = {};
  int rc = kHashFailed;
  ~HashJob() {
    Wipe(password.data(), password.size());
    Wipe(hash, sizeof hash);
  }
};

void RunHashJob(void* data) {
  auto* job = static_cast<HashJob*>(data);
  job->rc = HashPasswordWithSalt(job->password.c_str(), job->setting.c_str(), job->hash);
}

// HashPasswordWithSalt on a worker (or here, outside a task).
int HashOffThread(const char* password, const char* setting, char* hash) {
  if (hash == nullptr) return kHashFailed;
  hash[0] = '\0';
  if (password == nullptr || setting == nullptr) return kHashFailed;
  HashJob job;
  job.password = password;
  job.setting = setting;
  if (!RunOnWorker(RunHashJob, &job) || job.rc != 0) return kHashFailed;
  memcpy(hash, job.hash, sizeof job.hash);
  return 0;
}

using HashStep = int (*)(const char* password, const char* setting, char* hash);

// A new cost-12 setting (here: it logs its failures) and the hash by `step`.
int GenerateWith(HashStep step, const char* password, char* setting, char* hash) {
  int rc = GenerateSalt(g_newHashCost, setting);
  if (rc != 0) {
    WriteLog(0, "Error while generating salt: %d", rc);
    if (hash != nullptr) hash[0] = '\0';
    return rc;
  }
  rc = step(password, setting, hash);
  if (rc != 0) {
    WriteLog(0, "Error while generating password: %d", rc);
    setting[0] = '\0';
    return rc;
  }
  return 0;
}

}  // namespace

int GeneratePasswordHash(const char* password, char* setting, char* hash) {
  return GenerateWith(HashPasswordWithSalt, password, setting, hash);
}

int GeneratePasswordHashOffThread(const char* password, char* setting, char* hash) {
  return GenerateWith(HashOffThread, password, setting, hash);
}

int CheckPasswordHash(const char* password, const char* storedHash) {
  if (password == nullptr) return kCheckFailed;
  // The library would also verify DES ("00000000"), MD5 ("$1$…") and other
  // texts; a stored text counts as a password hash only in the bcrypt form.
  if (!IsBcryptHash(storedHash)) return kCheckFailed;
  // The cost digits are checked by IsBcryptHash; a cost far above ours would
  // stall every other client for the length of the check.
  const int cost = (storedHash[4] - '0') * 10 + (storedHash[5] - '0');
  if (cost > kBcryptMaxVerifyCost) return kCheckFailed;

  char computed[kPasswordFieldSize];
  if (HashPasswordWithSalt(password, storedHash, computed) != 0) return kCheckFailed;
  int rc = CompareHashes(storedHash, computed);
  Wipe(computed, sizeof computed);
  return rc;
}

int CompareHashes(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return 1;
  size_t len = strlen(a);
  if (strlen(b) != len) return 1;
  // Every byte pair is examined whatever the earlier ones held; the volatile
  // accumulator keeps the compiler from turning this into an early exit.
  volatile unsigned char diff = 0;
  for (size_t i = 0; i < len; ++i) {
    diff = static_cast<unsigned char>(diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  }
  return diff;
}

namespace {

// A password and the stored texts it is checked against, copied for a worker.
struct CheckJob {
  std::string password;
  std::vector<std::string> hashes;
  uint32_t legacyHash = 0;
  bool legacy = false;
  std::string nothing;  // a hash that matches nothing, checked for its cost alone (empty: none)
  bool matched = false;
  int rc = kCheckFailed;  // of the single bcrypt check
  ~CheckJob() { Wipe(password.data(), password.size()); }
};

void RunCheckJob(void* data) {
  auto* job = static_cast<CheckJob*>(data);
  if (!job->nothing.empty()) (void)CheckPasswordHash(job->password.c_str(), job->nothing.c_str());
  if (job->legacy) {
    job->matched = GetPasswordCRC(job->password.c_str()) == job->legacyHash;
    return;
  }
  for (const std::string& h : job->hashes) {
    job->rc = CheckPasswordHash(job->password.c_str(), h.c_str());
    if (job->rc == 0) {
      job->matched = true;
      return;
    }
  }
}

}  // namespace

int CheckPasswordHashOffThread(const char* password, const char* storedHash) {
  if (password == nullptr || storedHash == nullptr) return kCheckFailed;
  CheckJob job;
  job.password = password;
  job.hashes.emplace_back(storedHash);
  if (!RunOnWorker(RunCheckJob, &job)) return kCheckFailed;
  return job.rc;
}

bool LegacyPasswordMatchesOffThread(const char* password, uint32_t legacyHash) {
  CheckJob job;
  job.legacy = true;
  job.legacyHash = legacyHash;
  if (password != nullptr) {
    job.password = password;
  } else {
    return GetPasswordCRC(nullptr) == legacyHash;  // nothing to hash
  }
  return RunOnWorker(RunCheckJob, &job) && job.matched;
}

bool PasswordMatchesAnyOffThread(const char* password, const char* const* hashes, size_t count) {
  if (password == nullptr || count == 0) return false;
  CheckJob job;
  job.password = password;
  for (size_t i = 0; i < count; ++i) {
    if (hashes[i] != nullptr) job.hashes.emplace_back(hashes[i]);
  }
  return RunOnWorker(RunCheckJob, &job) && job.matched;
}

namespace {

// A bcrypt text at the cost of new hashes that no password matches in
// practice: a new setting, and a hash part of one repeated letter, which the
// check computes and compares in full. Empty when no setting can be made
// (the check then costs nothing: the random source failed, and so would
// every new hash).
std::string HashOfNothing() {
  char setting[kPasswordFieldSize] = {};
  if (GenerateSalt(g_newHashCost, setting) != 0) return std::string();
  std::string text(setting);
  text.append(kBcryptHashLength - text.size(), 'O');
  return text;
}

}  // namespace

bool CheckPasswordAgainstNothingOffThread(const char* password) {
  CheckJob job;
  job.password = password != nullptr ? password : "";
  job.nothing = HashOfNothing();
  (void)RunOnWorker(RunCheckJob, &job);
  return false;
}

bool LegacyPasswordMatchesAtHashCostOffThread(const char* password, uint32_t legacyHash) {
  CheckJob job;
  job.legacy = true;
  job.legacyHash = legacyHash;
  job.nothing = HashOfNothing();
  if (password == nullptr) {
    // Nothing to hash for the legacy form; the cost is spent on the empty text.
    job.legacy = false;
    (void)RunOnWorker(RunCheckJob, &job);
    return GetPasswordCRC(nullptr) == legacyHash;
  }
  job.password = password;
  return RunOnWorker(RunCheckJob, &job) && job.matched;
}

bool SecretTextMatches(const char* given, const char* secret) {
  if (given == nullptr || secret == nullptr || secret[0] == '\0') return false;
  const size_t givenLength = strlen(given);
  const size_t secretLength = strlen(secret);
  // The walk follows the caller's text, so its time tells nothing of the
  // secret's length; a shorter or longer text differs through the lengths folded in first.
  volatile size_t diff = givenLength ^ secretLength;
  for (size_t i = 0; i < givenLength; ++i) {
    diff = diff | (static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % secretLength]));
  }
  return diff == 0;
}
