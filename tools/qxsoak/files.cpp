#include "files.h"

#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace qxsoak {

namespace {
constexpr uint32_t kMinute = 60000;
}  // namespace

std::string minuteText(uint64_t ms) {
  return "minute " + std::to_string(ms / kMinute + 1);
}

std::string readBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string systemPath(std::string path) {
#if !defined(_WIN32)
  for (char &c : path)
    if (c == '\\') c = '/';
#endif
  return path;
}

void listFiles(const std::string &dir, const std::string &prefix,
               std::vector<std::string> &out) {
#if defined(_WIN32)
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      listFiles(dir + "\\" + name, prefix + name + "/", out);
    else
      out.push_back(prefix + name);
  } while (FindNextFileA(h, &data));
  FindClose(h);
#else
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      listFiles(dir + "/" + name, prefix + name + "/", out);
    else
      out.push_back(prefix + name);
  }
  closedir(d);
#endif
}

bool endsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() &&
         s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace qxsoak
