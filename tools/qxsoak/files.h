// Small helpers of the soak run for paths and files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxsoak {

// "minute N" for a time in ms from the start.
std::string minuteText(uint64_t ms);
std::string readBytes(const std::string &path);
// A path of the client's texts ('\\') as this platform opens it.
std::string systemPath(std::string path);
// Every file below dir, relative to it with '/' between names.
void listFiles(const std::string &dir, const std::string &prefix,
               std::vector<std::string> &out);
bool endsWith(const std::string &s, const std::string &end);

}  // namespace qxsoak
