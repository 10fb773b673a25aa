// Password hashes (legacy CRC and bcrypt), the constant-time compare, the
// shift-register scrambler and the random source behind the salts.
// Known answers are worked out from the algorithms, not by our own code.
#include <crypt.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/crypto/crc32.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/crypto/scrambler.h"
#include "foundation/log/ring_log.h"
#include "platform/random_bytes.h"

namespace {

// A published bcrypt test vector (cost 5): password "U*U".
constexpr const char* kVectorPassword = "U*U";
constexpr const char* kVectorSetting = "$2a$05$CCCCCCCCCCCCCCCCCCCCC.";
constexpr const char* kVectorHash = "$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW";

// The seed with which clients scramble the credential token of a logon.
constexpr uint32_t kCredentialSeed = 0x1B4D3;

// Every test starts from the real random source and no log line.
class Crypto : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRandomBytesFailStatus(0);
    ClearLogLine();
  }
  void TearDown() override { SetRandomBytesFailStatus(0); }
};

bool AllBcryptBase64(const std::string& s) {
  for (char c : s) {
    bool ok = c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

// What libxcrypt itself makes of a password and a setting (null when the
// method is not built in), to show such texts are refused anyway.
std::string LibraryHash(const char* password, const char* setting) {
  std::unique_ptr<crypt_data, decltype(&free)> data(static_cast<crypt_data*>(calloc(1, sizeof(crypt_data))), &free);
  const char* out = crypt_rn(password, setting, data.get(), static_cast<int>(sizeof(crypt_data)));
  return out ? std::string(out) : std::string();
}

// ---------------------------------------------------------------- CRC-32

TEST_F(Crypto, CalcCrc32IsTheReflectedRegisterNeverInverted) {
  EXPECT_EQ(CalcCRC32("abc", 3, 0x101), 0xD2BCC3A6u);
  // The zip check value needs the caller's own inversion on both sides.
  EXPECT_EQ(CalcCRC32("123456789", 9, 0xFFFFFFFFu) ^ 0xFFFFFFFFu, 0xCBF43926u);
  // One byte: table[(0x101 ^ 'a') & 0xFF] ^ (0x101 >> 8) = table[0x60] ^ 1.
  EXPECT_EQ(CalcCRC32("a", 1, 0x101), 0x4DB26159u);
  // No bytes: 0, not the start value.
  EXPECT_EQ(CalcCRC32("abc", 0, 0x101), 0u);
  EXPECT_EQ(CalcCRC32(nullptr, 3, 0x101), 0u);
}

TEST_F(Crypto, LegacyPasswordHash) {
  struct Case {
    const char* password;
    uint32_t expected;
  } cases[] = {
      {nullptr, 0},
      {"", 0},
      {"abc", 0xD2BCC3A6u},
      // 0x08 and hex: the hash given in place of the password, read like strtoul(…, 16).
      {"\x08" "D2BCC3A6", 0xD2BCC3A6u},
      {"\x08" "d2bcc3a6", 0xD2BCC3A6u},
      {"\x08", 0},
      {"\x08" "xyz", 0},
      {"\x08" "12G4", 0x12u},
      {"\x08" "0x1F", 0x1Fu},
      {"\x08" "0X1f", 0x1Fu},
      {"\x08" "0x", 0},    // the '0' is the number, the 'x' ends it
      {"\x08" "0xZ", 0},
      {"\x08" " \t\n+ff", 0xFFu},
      {"\x08" "-1", 0xFFFFFFFFu},  // negated modulo 2^32
      {"\x08" "-FFFFFFFF", 1u},
      {"\x08" "FFFFFFFF", 0xFFFFFFFFu},
      {"\x08" "100000000", 0xFFFFFFFFu},  // saturates as a 32-bit unsigned long
      {"\x08" "-100000000", 0xFFFFFFFFu},
      {"\x08" "123456789ABCDEF0123", 0xFFFFFFFFu},
      {"\x08" "00000000000000000000001", 1u},  // leading zeros are no overflow
      {"\x08" "- 5", 0},   // no digit right after the sign
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPasswordCRC(c.password), c.expected) << (c.password ? c.password + (c.password[0] == 8) : "(null)");
  }
}

// ----------------------------------------------------------- CompareHashes

TEST_F(Crypto, CompareHashesLooksAtTheWholeLength) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"abc", "abc", 0},
      {"", "", 0},
      {"abc", "abcd", 1},     // lengths differ
      {"abc", "abd", 'c' ^ 'd'},
      {"xbc", "abd", ('x' ^ 'a') | ('c' ^ 'd')},  // both ends differ: no early exit
      {nullptr, "a", 1},
      {"a", nullptr, 1},
      {nullptr, nullptr, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareHashes(c.a, c.b), c.expected) << (c.a ? c.a : "(null)") << " / " << (c.b ? c.b : "(null)");
  }
}

// ------------------------------------------------------- SecretTextMatches

TEST_F(Crypto, SecretTextMatchesOnlyTheWholeSecret) {
  struct Case {
    const char* given;
    const char* secret;
    bool expected;
  } cases[] = {
      {"s3cret", "s3cret", true},
      {"s3cre", "s3cret", false},         // a prefix
      {"s3crett", "s3cret", false},       // one byte more
      {"s3crets3cret", "s3cret", false},  // the secret twice: the walk wraps, the lengths still differ
      {"S3cret", "s3cret", false},        // first byte
      {"s3creT", "s3cret", false},        // last byte
      {"", "s3cret", false},
      {"", "", false},                    // no secret: nothing matches
      {"x", "", false},
      {nullptr, "s3cret", false},
      {"s3cret", nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecretTextMatches(c.given, c.secret), c.expected)
        << (c.given ? c.given : "(null)") << " / " << (c.secret ? c.secret : "(null)");
  }
}

// ------------------------------------------------------------------ bcrypt

TEST_F(Crypto, HashPasswordWithSaltMatchesKnownVector) {
  char hash[kPasswordFieldSize];
  ASSERT_EQ(HashPasswordWithSalt(kVectorPassword, kVectorSetting, hash), 0);
  EXPECT_STREQ(hash, kVectorHash);
  // A whole stored hash serves as the setting.
  ASSERT_EQ(HashPasswordWithSalt(kVectorPassword, kVectorHash, hash), 0);
  EXPECT_STREQ(hash, kVectorHash);
}

TEST_F(Crypto, HashPasswordWithSaltFailuresLeaveEmptyField) {
  struct Case {
    const char* password;
    const char* setting;
  } cases[] = {
      {nullptr, kVectorSetting},
      {"pw", nullptr},
      {"pw", "*"},             // no method
      {"pw", "$2a$03$CCCCCCCCCCCCCCCCCCCCC."},  // cost below the library's range
      // SHA-512 makes ~106 characters: must not overrun the 64-byte field.
      {"pw", "$6$saltsalt$"},
  };
  for (const Case& c : cases) {
    char hash[kPasswordFieldSize];
    memset(hash, 'Z', sizeof hash);
    EXPECT_EQ(HashPasswordWithSalt(c.password, c.setting, hash), 1) << (c.setting ? c.setting : "(null)");
    EXPECT_STREQ(hash, "");
  }
  EXPECT_EQ(HashPasswordWithSalt("pw", kVectorSetting, nullptr), 1);
}

TEST_F(Crypto, GenerateSaltClampsTheCost) {
  struct Case {
    int cost;
    const char* prefix;
  } cases[] = {
      {3, "$2a$12$"}, {32, "$2a$12$"}, {0, "$2a$12$"}, {-1, "$2a$12$"}, {INT_MIN, "$2a$12$"}, {INT_MAX, "$2a$12$"},
      {4, "$2a$04$"}, {10, "$2a$10$"}, {12, "$2a$12$"}, {31, "$2a$31$"},
  };
  for (const Case& c : cases) {
    char setting[kPasswordFieldSize];
    ASSERT_EQ(GenerateSalt(c.cost, setting), 0) << c.cost;
    std::string s(setting);
    ASSERT_EQ(s.size(), kBcryptSettingLength) << s;
    EXPECT_EQ(s.substr(0, 7), c.prefix) << c.cost;
    EXPECT_TRUE(AllBcryptBase64(s.substr(7))) << s;
  }
}

TEST_F(Crypto, GenerateSaltDrawsFreshRandomBytes) {
  char a[kPasswordFieldSize];
  char b[kPasswordFieldSize];
  ASSERT_EQ(GenerateSalt(4, a), 0);
  ASSERT_EQ(GenerateSalt(4, b), 0);
  EXPECT_STRNE(a, b);
  EXPECT_EQ(GenerateSalt(12, nullptr), 5);
}

TEST_F(Crypto, GenerateSaltReportsRandomSourceFailure) {
  SetRandomBytesFailStatus(-7);
  char setting[kPasswordFieldSize];
  memset(setting, 'Z', sizeof setting);
  EXPECT_EQ(GenerateSalt(12, setting), -7);
  EXPECT_STREQ(setting, "");
  EXPECT_STREQ(GetLogLine(), "Error while generating random bytes: -7 : 7");
}

// A source of the test's own in the kernel's place: the same draws give the
// same salt, so a hash made twice from it is the same text; the fail status
// still comes first, and null gives the kernel back.
int CountingSource(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return 0;
}

TEST_F(Crypto, ATestSourceOfRandomBytesMakesTheSameSaltEachTime) {
  SetRandomBytesSourceForTest(CountingSource);
  char first[kPasswordFieldSize];
  char second[kPasswordFieldSize];
  ASSERT_EQ(GenerateSalt(4, first), 0);
  ASSERT_EQ(GenerateSalt(4, second), 0);
  EXPECT_STREQ(first, second);
  SetRandomBytesFailStatus(-5);
  EXPECT_EQ(GenerateSalt(4, first), -5) << "the fail status comes before the source";
  SetRandomBytesFailStatus(0);
  SetRandomBytesSourceForTest(nullptr);
  ASSERT_EQ(GenerateSalt(4, first), 0);
  EXPECT_STRNE(first, second) << "the kernel's draws again";
}

TEST_F(Crypto, GeneratePasswordHashFailuresReturnTheStepsCode) {
  char setting[kPasswordFieldSize];
  char hash[kPasswordFieldSize];

  SetRandomBytesFailStatus(-5);
  memset(setting, 'Z', sizeof setting);
  memset(hash, 'Z', sizeof hash);
  EXPECT_EQ(GeneratePasswordHash("pw", setting, hash), -5);
  EXPECT_STREQ(GetLogLine(), "Error while generating salt: -5");
  EXPECT_STREQ(setting, "");
  EXPECT_STREQ(hash, "");

  SetRandomBytesFailStatus(0);
  memset(setting, 'Z', sizeof setting);
  memset(hash, 'Z', sizeof hash);
  EXPECT_EQ(GeneratePasswordHash(nullptr, setting, hash), 1);
  EXPECT_STREQ(GetLogLine(), "Error while generating password: 1");
  EXPECT_STREQ(setting, "");
  EXPECT_STREQ(hash, "");
}

// The only cost-12 hashes of the suite: one new hash and two checks.
TEST_F(Crypto, GeneratedHashVerifiesOnlyItsPassword) {
  char setting[kPasswordFieldSize];
  char hash[kPasswordFieldSize];
  ASSERT_EQ(GeneratePasswordHash("Secret-1", setting, hash), 0);
  ASSERT_EQ(strlen(setting), kBcryptSettingLength);
  EXPECT_EQ(std::string(setting, 7), "$2a$12$");
  ASSERT_EQ(strlen(hash), kBcryptHashLength);
  EXPECT_EQ(strncmp(hash, setting, kBcryptSettingLength), 0);
  EXPECT_TRUE(IsBcryptHash(hash));

  EXPECT_EQ(CheckPasswordHash("Secret-1", hash), 0);
  int wrong = CheckPasswordHash("Secret-2", hash);
  EXPECT_NE(wrong, 0);
  EXPECT_NE(wrong, -1);  // a mismatch, not a failure
}

TEST_F(Crypto, CheckPasswordHashAgainstKnownVector) {
  EXPECT_EQ(CheckPasswordHash(kVectorPassword, kVectorHash), 0);
  EXPECT_GT(CheckPasswordHash("U*V", kVectorHash), 0);
  EXPECT_GT(CheckPasswordHash("", kVectorHash), 0);
  // The variants agree for ASCII passwords.
  std::string b = kVectorHash;
  b[2] = 'b';
  EXPECT_EQ(CheckPasswordHash(kVectorPassword, b.c_str()), 0);
  std::string y = kVectorHash;
  y[2] = 'y';
  EXPECT_EQ(CheckPasswordHash(kVectorPassword, y.c_str()), 0);
}

TEST_F(Crypto, CheckPasswordHashRefusesEverythingButBcrypt) {
  const std::string v = kVectorHash;
  auto with = [&](size_t at, char c) {
    std::string s = v;
    s[at] = c;
    return s;
  };
  std::vector<std::string> stored = {
      "00000000",
      "",
      v.substr(0, 59),
      v + "A",
      with(2, 'x'),   // "$2x$"
      with(3, '#'),
      with(5, 'a'),   // cost not two digits
      with(6, '#'),
      with(40, '*'),  // outside the encoding alphabet
      with(59, '$'),
      "$2a$5$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW0",
      // The strict form, but a cost the library refuses.
      "$2a$03$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW",
      "$2a$99$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW",
      // Costs the library accepts but that would take from seconds to a day
      // (cost 31) per check: refused before any work.
      "$2a$17$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW",
      "$2b$31$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW",
  };
  // Texts the library itself would verify as a match for "pw".
  for (const char* setting : {"00", "$1$saltsalt$", "$5$saltsalt$"}) {
    std::string h = LibraryHash("pw", setting);
    if (!h.empty()) stored.push_back(h);
  }
  for (const std::string& s : stored) EXPECT_EQ(CheckPasswordHash("pw", s.c_str()), -1) << s;

  EXPECT_EQ(CheckPasswordHash("pw", nullptr), -1);
  EXPECT_EQ(CheckPasswordHash(nullptr, kVectorHash), -1);
  EXPECT_STREQ(GetLogLine(), "");  // refused silently
}

// --------------------------------------------------------------- Scrambler

TEST_F(Crypto, NextLfsrValueSteps) {
  struct Case {
    uint32_t in;
    uint32_t out;
  } cases[] = {
      {1, 0x40000000u},          // bit 0 feeds back
      {0x81, 0x40u},             // bits 0 and 7 cancel
      {0x80000000u, 0x40000000u},
      {0, 0},
      {0x800, 0x40000400u},      // bit 11 feeds back
      {0x800000, 0x40400000u},   // bit 23 feeds back
      {0x7FFFFFFFu, 0x3FFFFFFFu},  // four taps cancel
      {0xFFFFFFFFu, 0x7FFFFFFFu},
      {kCredentialSeed, 0xDA69u},  // taps 0,7 set, 11,23 clear
  };
  for (const Case& c : cases) EXPECT_EQ(NextLfsrValue(c.in), c.out) << std::hex << c.in;
}

TEST_F(Crypto, ScrambleKnownAnswers) {
  // Seed 1 by hand: 1 -> 0x40000000, shifts down to 0x800000, bit 23 feeds
  // back (0x40400000), ... 0x8080800 (bit 11) -> 0x44040400 -> 0x22020200 ->
  // 0x11010100 -> 0x08808080: 24 steps until the low byte is non-zero (0x80);
  // then 0x04404040 (0x40) and 0x02202020 (0x20). Bit 31 of a seed is dropped.
  for (uint32_t seed : {1u, 0x80000001u}) {
    uint8_t buf[3] = {0, 0, 0};
    EXPECT_EQ(ScrambleBuffer(buf, sizeof buf, seed), 0x02202020u);
    EXPECT_EQ(buf[0], 0x80);
    EXPECT_EQ(buf[1], 0x40);
    EXPECT_EQ(buf[2], 0x20);
  }

  // The credential seed over zeros is its keystream. Byte 0: 0x1B4D3 -> 0xDA69
  // (0x69); byte 1: 0x6D34 (0x34); byte 2: bit 0 of 0x6D34 is 0 but bit 11 is 1
  // -> 0x4000369A (0x9A). Byte 16 skips nine states whose low byte is 0.
  const uint8_t keystream[20] = {0x69, 0x34, 0x9A, 0x4D, 0xA6, 0xD3, 0x69, 0xB4, 0xDA, 0x6D,
                                 0x36, 0x1B, 0x0D, 0x06, 0x03, 0x01, 0x80, 0xC0, 0x60, 0x30};
  uint8_t zeros[20] = {};
  EXPECT_EQ(ScrambleBuffer(zeros, sizeof zeros, kCredentialSeed), 0x3BE8EE30u);
  EXPECT_EQ(memcmp(zeros, keystream, sizeof zeros), 0);

  // A credential text and its scrambled bytes, both ways.
  const char clear[] = "user:admin/pw:secret";
  const uint8_t scrambled[20] = {0x1C, 0x47, 0xFF, 0x3F, 0x9C, 0xB2, 0x0D, 0xD9, 0xB3, 0x03,
                                 0x19, 0x6B, 0x7A, 0x3C, 0x70, 0x64, 0xE3, 0xB2, 0x05, 0x44};
  uint8_t buf[20];
  memcpy(buf, clear, sizeof buf);
  EXPECT_EQ(ScrambleBuffer(buf, sizeof buf, kCredentialSeed), 0x3BE8EE30u);
  EXPECT_EQ(memcmp(buf, scrambled, sizeof buf), 0);
  DescrambleBuffer(buf, sizeof buf, kCredentialSeed);
  EXPECT_EQ(memcmp(buf, clear, sizeof buf), 0);
}

TEST_F(Crypto, ScrambleDegenerateInputsChangeNothing) {
  const uint8_t original[4] = {1, 2, 3, 4};
  struct Case {
    size_t length;
    uint32_t seed;
  } cases[] = {{4, 0}, {4, 0x80000000u}, {0, kCredentialSeed}};
  for (const Case& c : cases) {
    uint8_t buf[4];
    memcpy(buf, original, sizeof buf);
    EXPECT_EQ(ScrambleBuffer(buf, c.length, c.seed), 0u) << std::hex << c.seed;
    EXPECT_EQ(memcmp(buf, original, sizeof buf), 0);
    DescrambleBuffer(buf, c.length, c.seed);
    EXPECT_EQ(memcmp(buf, original, sizeof buf), 0);
  }
  EXPECT_EQ(ScrambleBuffer(nullptr, 4, kCredentialSeed), 0u);
}

// ----------------------------------------------------------- Random source

TEST_F(Crypto, RandomBytes) {
  EXPECT_EQ(GetRandomBytes(nullptr, 0), 0);
  EXPECT_EQ(GetRandomBytes(nullptr, 1), -EINVAL);

  std::vector<uint8_t> a(1 << 20, 0);
  std::vector<uint8_t> b(1 << 20, 0);
  ASSERT_EQ(GetRandomBytes(a.data(), a.size()), 0);
  ASSERT_EQ(GetRandomBytes(b.data(), b.size()), 0);
  EXPECT_NE(a, b);
  // Filled to the end, not just a first piece.
  EXPECT_NE(std::vector<uint8_t>(a.end() - 64, a.end()), std::vector<uint8_t>(64, 0));

  SetRandomBytesFailStatus(-38);
  errno = 0;
  EXPECT_EQ(GetRandomBytes(a.data(), 16), -38);
  EXPECT_EQ(errno, 38);
  SetRandomBytesFailStatus(0);
  EXPECT_EQ(GetRandomBytes(a.data(), 16), 0);
}

}  // namespace
