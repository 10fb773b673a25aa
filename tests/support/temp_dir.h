// A fresh temporary directory for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct TempDir {
  std::string path;  // ends in '/'
  TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}
  // A fresh directory under `parent` (a memory file system, say).
  explicit TempDir(const std::string& parent) {
    std::string base = (std::filesystem::path(parent) / "torvane-test-XXXXXX").string();
    char* made = mkdtemp(base.data());
    path = std::string(made ? made : base.c_str()) + "/";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string File(const std::string& name) const { return path + name; }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
