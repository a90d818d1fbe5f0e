#include "cvars/host_query.h"

#include <cstring>

#include "common/text.h"

namespace qx::cvars {

namespace {

// Case-insensitive search for an ASCII needle in text.
bool containsNoCase(const char *text, const char *needle) {
  const size_t n = std::strlen(needle);
  for (; *text; ++text)
    if (compareNoCaseN(text, needle, n) == 0) return true;
  return false;
}

}  // namespace

intptr_t askHost(QxGameInterface *gi, int32_t code, char *buffer,
                 int32_t size) {
  if (!gi || !gi->query) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[size - 1] = '\0';
  const intptr_t result = gi->query(code, buffer, size);
  buffer[size - 1] = '\0';
  return result;
}

bool readVariable(QxGameInterface *gi, const char *name, char *value) {
  copyText(value, name, kHostText - 1);
  if (askHost(gi, QX_Q_CVAR, value, kHostText) == 0) return true;
  value[0] = '\0';
  return false;
}

bool isSecretName(const char *name) {
  return containsNoCase(name, "pass") || containsNoCase(name, "cdkey");
}

}  // namespace qx::cvars
