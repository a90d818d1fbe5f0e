#include "master/name_resolution.h"

#include <cstring>

#include "common/text.h"
#include "cvars/host_query.h"
#include "host/client_state.h"

namespace qx::master {

namespace {

constexpr const char *kResolvedQuery = "qx_isresolved %s";
constexpr size_t kAddressMax = kAddressSize - 1;

bool isAddressText(const char *host) {
  if (!host[0]) return false;
  const char *p = host;
  while ((*p >= '0' && *p <= '9') || *p == '.') ++p;
  return *p == '\0' || *p == ':';
}

// Copies at most 15 characters of text, up to a ':' (a port is no part of
// an address).
void copyAddress(char *address, const char *text) {
  size_t n = 0;
  while (n < kAddressMax && text[n] && text[n] != ':') ++n;
  std::memcpy(address, text, n);
  address[n] = '\0';
}

HostName *findCached(const char *host) {
  console::RecordList &cache = client().master.hostNames;
  for (int32_t i = 0; i < cache.count; ++i) {
    HostName *name = console::listRecord<HostName>(cache, i);
    if (compareNoCase(name->host, host) == 0) return name;
  }
  return nullptr;
}

// Asks the host game whether it has resolved host; the answer (possibly
// empty) goes to answer.
void askHost(QxGameInterface *gi, const char *host, char *answer) {
  char *buffer = client().host.scratch;
  formatText(buffer, host::kScratchSize, kResolvedQuery, host);
  if (cvars::askHost(gi, QX_Q_CVAR, buffer, host::kScratchSize) != 0)
    buffer[0] = '\0';
  copyAddress(answer, buffer);
}

}  // namespace

bool resolveHost(QxGameInterface *gi, const char *host, char address[16]) {
  address[0] = '\0';
  if (!host || !host[0]) return false;
  if (isAddressText(host)) {
    copyAddress(address, host);
    return address[0] != '\0';
  }
  if (HostName *cached = findCached(host)) {
    if (!cached->resolved) {
      char answer[kAddressSize];
      askHost(gi, host, answer);
      if (answer[0]) {
        copyText(cached->address, answer, kAddressMax);
        cached->resolved = 1;
      }
    }
    copyText(address, cached->address, kAddressMax);
    return address[0] != '\0';
  }
  HostName fresh{};
  copyText(fresh.host, host, sizeof fresh.host - 1);
  askHost(gi, host, fresh.address);
  copyText(address, fresh.address, kAddressMax);
  // The cache only grows, and a master server chooses the names in it: past
  // its cap a name is asked of the host every time instead.
  console::RecordList &cache = client().master.hostNames;
  if (cache.count < kMaxCachedNames) console::listAppend(cache, &fresh);
  return address[0] != '\0';
}

void resolveLogAddress(QxGameInterface *gi) {
  ClientState &c = client();
  resolveHost(gi, c.settings.logAddr, c.master.logAddress);
}

}  // namespace qx::master
