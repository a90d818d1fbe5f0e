// The server side of the registered names: the query 'B' 'I', the decoding
// of the client's 'R' report and the check of every reported digest against
// the password the server knows for that name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

Bytes registeredNamesQuery();  // 'B' 'I'

struct RegisteredName {
  std::string match;
  std::string digest;  // as reported: 32 hexadecimal digits
  int kind = 0;        // 1 Full, 2 Partial
  // Filled in by verifyRegisteredNames.
  bool known = false;     // the server knows a password for this name
  bool verified = false;  // the digest is the one of that password
};

struct RegisteredNamesReport {
  bool ok = false;  // an 'R' report, well formed up to its terminator
  bool sealed = false;
  bool sealValid = false;
  std::vector<RegisteredName> names;
  std::string error;  // why a report is not ok
};

// True when an unsealed message of the client is a registered-name report.
bool isRegisteredNamesReport(const Bytes &message);

// Decodes a message of the client, unsealing it first when it is sealed.
RegisteredNamesReport decodeRegisteredNames(const Bytes &message);

// The passwords the server knows, by match text.
using PasswordBook = std::map<std::string, std::string>;

// The digest the client reports for password: it stores the password
// without blanks at either end and cut at 32 characters, and reports the
// seeded MD5 text of what it stored.
std::string registeredNameDigest(const std::string &password);

// Marks every name of the report known and verified against book.
void verifyRegisteredNames(RegisteredNamesReport &report,
                           const PasswordBook &book);

// Lines that describe the report for a person.
std::string describe(const RegisteredNamesReport &report);

}  // namespace qx::peer
