#include "peer/package_peer.h"

#include <zlib.h>

#include <cstdio>

#include "peer/digest.h"

namespace qx::peer {

namespace {

constexpr size_t kDigitsPerLine = 64;

std::string escapeHtml(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

std::string hexSize(size_t size) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(size));
  return text;
}

}  // namespace

ModuleRecord moduleRecord(const Bytes &module) {
  ModuleRecord r;
  r.size = static_cast<uint32_t>(module.size());
  r.digest1 = digestText(module.data(), module.size(), 0);
  r.digest2 = module.empty()
                  ? r.digest1
                  : digestText(module.data() + 1, module.size() - 1, 0);
  return r;
}

std::string masterListRecord(char kind, char platform, int version,
                             const ModuleRecord &record) {
  return std::string("<p> F ") + kind + " " + platform + " " +
         std::to_string(version) + " " + hexSize(record.size) + " " +
         record.digest1 + " " + record.digest2;
}

Bytes compressModule(const Bytes &module) {
  uLongf size = compressBound(static_cast<uLong>(module.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, module.data(),
                static_cast<uLong>(module.size()), Z_BEST_COMPRESSION) != Z_OK)
    return {};
  out.resize(size);
  return out;
}

std::string packageHeader(const Bytes &compressed, uint32_t moduleSize) {
  const std::string a = digestText(compressed.data(), compressed.size(), 0);
  const std::string b =
      compressed.empty()
          ? a
          : digestText(compressed.data() + 1, compressed.size() - 1, 0);
  return "S" + hexSize(compressed.size()) + " " + hexSize(moduleSize) + " " +
         a + " " + b;
}

std::vector<std::string> dataRecords(const Bytes &compressed,
                                     size_t digitsPerRecord) {
  const std::string hex = hexText(compressed.data(), compressed.size());
  if (digitsPerRecord < 2) digitsPerRecord = 2;
  std::vector<std::string> records;
  for (size_t at = 0; at < hex.size(); at += digitsPerRecord) {
    const std::string part = hex.substr(at, digitsPerRecord);
    std::string record;
    for (size_t line = 0; line < part.size(); line += kDigitsPerLine) {
      if (line) record += "\r\n";
      record += part.substr(line, kDigitsPerLine);
    }
    records.push_back(record);
  }
  return records;
}

std::string packagePage(const std::string &title, const std::string &header,
                        const std::vector<std::string> &records) {
  std::string page =
      "<!DOCTYPE html>\r\n<html lang=\"en\">\r\n<head>\r\n"
      "<meta charset=\"us-ascii\">\r\n<title>" +
      escapeHtml(title) +
      "</title>\r\n<style>p{font-family:monospace;word-break:break-all}"
      "</style>\r\n</head>\r\n<body>\r\n<p>" +
      header + "</p>\r\n";
  for (const std::string &r : records) page += "<p>" + r + "</p>\r\n";
  page += "</body>\r\n</html>\r\n";
  return page;
}

std::string packModule(const Bytes &module, const std::string &title) {
  const Bytes compressed = compressModule(module);
  return packagePage(
      title, packageHeader(compressed, static_cast<uint32_t>(module.size())),
      dataRecords(compressed));
}

}  // namespace qx::peer
