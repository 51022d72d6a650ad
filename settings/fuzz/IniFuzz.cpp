// libFuzzer target for the settings reader and writer: each input becomes a
// settings file in a private temporary directory; every read operation runs
// on it, then a write and an erase whose results are checked against what
// the reads said before, and a write of what a key already reads as, which
// must leave the file byte for byte.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CodePage.h"
#include "IniFile.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir;
std::string g_file;

void RemoveDir() {
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "settings fuzz: %s\n", what);
    abort();
  }
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// The value that a read gives back after writing `v`.
std::string Readable(std::string v) {
  while (!v.empty() && Blank(v.back())) v.pop_back();
  size_t b = 0;
  while (b < v.size() && Blank(v[b])) ++b;
  v.erase(0, b);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  return v.substr(0, 2047);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return tamlix::LowerInCodePage(x) == tamlix::LowerInCodePage(y);
         });
}

// Every section's values, other than those named `except`.
std::vector<std::vector<std::string>> OtherSections(const tamlix::TIniFile& ini, const std::string& except) {
  std::vector<std::vector<std::string>> all;
  for (const std::string& s : ini.ReadSections())
    if (!SameName(s, except)) all.push_back(ini.ReadSectionValues(s));
  return all;
}

void Put(const uint8_t* data, size_t size) {
  std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A memory file system where there is one: every write flushes to disk.
  std::error_code ec;
  const fs::path base = !getenv("TMPDIR") && fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm")
                                                                             : fs::temp_directory_path();
  std::string tmpl = (base / "settings-fuzz-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) abort();
  g_dir = tmpl;
  g_file = g_dir + "/Fuzz.INI";
  atexit(RemoveDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Put(data, size);
  tamlix::TIniFile ini(g_file);

  // Every read operation on every section and key that the file names.
  std::vector<std::string> sections = ini.ReadSections();
  std::string firstKey;
  for (const std::string& s : sections) {
    std::vector<std::string> lines = ini.ReadSectionValues(s);
    Check(ini.SectionExists(s) == !lines.empty(), "SectionExists disagrees with ReadSectionValues");
    for (const std::string& line : lines) {
      const std::string key = line.substr(0, line.find('='));
      const std::string value = ini.ReadString(s, key, "\x01");
      Check(value.size() <= 2047, "value over 2047 characters");
      Check(value.find('\0') == std::string::npos, "value holds a NUL");
      ini.ReadInteger(s, key, 0);
      ini.ReadBool(s, key, false);
      if (firstKey.empty()) firstKey = key;
    }
  }
  int32_t v;
  tamlix::TryStrToInt(std::string_view(reinterpret_cast<const char*>(data), std::min<size_t>(size, 64)), v);

  // Replace (or add) a key in the first section, then add a new section:
  // the written value reads back and no other section changes.
  const std::string section = sections.empty() ? std::string("Fuzz") : sections.front();
  const std::string key = firstKey.empty() ? std::string("Key") : firstKey;
  const std::string value(reinterpret_cast<const char*>(data), std::min<size_t>(size, 40));
  const std::string before = Slurp(g_file);
  const std::string nul(1, '\0');
  const bool namesFit = section.find(nul) == std::string::npos && key.find(nul) == std::string::npos;
  const std::string stored = ini.ReadString(section, key, "\x01");
  if (stored != "\x01" && namesFit) {
    try {
      ini.WriteString(section, key, stored);
    } catch (const tamlix::EIniFileError&) {
      Check(false, "writing what a key reads as was refused");
    }
    Check(Slurp(g_file) == before, "writing what a key reads as changed the file");
  }
  const auto others = OtherSections(ini, section);
  bool written = true;
  try {
    ini.WriteString(section, key, value);
  } catch (const tamlix::EIniFileError&) {
    written = false;
  }
  const bool representable = value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos && namesFit;
  if (written) {
    // Left as it was when the key already read as `value`.
    const std::string now = ini.ReadString(section, key, "\x01");
    Check(now == Readable(value) || now == value, "written value does not read back");
    Check(OtherSections(ini, section) == others, "a write changed another section");
  } else {
    Check(!representable, "a representable write was refused");
    Check(Slurp(g_file) == before, "a refused write changed the file");
  }

  const auto rest = OtherSections(ini, section);
  ini.EraseSection(section);
  Check(!ini.SectionExists(section), "an erased section is still present");
  Check(OtherSections(ini, section) == rest, "an erase changed another section");
  return 0;
}
