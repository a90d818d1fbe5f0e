// Registered names: player names reserved with a password, "Full" or
// "Partial". The client keeps them in the list "FLRN", stores them in a file
// in the home directory (plain, or enciphered with the key qx_RegNamePw) and
// reports them to the server with a digest of each password, never the
// password itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/protocol.h"
#include "qx/game_interface.h"

namespace qx::regnames {

constexpr int kFieldMax = 32;  // characters of a match text or password
constexpr const char *kFileHeader = "QX_REGNAMES\r\n";
constexpr size_t kFileHeaderLength = 13;
constexpr size_t kKeyCheckLength = 32;  // digest digits ahead of the records
constexpr const char *kImportFileName = "regname1.dat";
// Larger files are refused: no one registers that many names, and the
// whole file is read into memory at once.
constexpr long kMaxFileSize = 1L << 20;
// Room for the report: its text, the terminator and a seal.
constexpr int kReportCapacity =
    protocol::kRegNameReportMax + 1 + protocol::kSealOverhead;

// What a load did.
enum class LoadResult {
  Absent,   // no file, or an empty one: nothing to load
  Loaded,   // the file was read and its records added
  Refused,  // the file exists but was not read (key, header, size)
};

// ---- the list --------------------------------------------------------------

// Adds one registration. Blanks at both ends of match and password are
// removed and each is cut at 32 characters; kindWord "Full" (any case)
// gives Full, anything else Partial. With save the list is then saved to
// the registered-name file (count line and report); without, the addition
// is shown. Returns 1 when the record was added.
int addRegisteredName(QxGameInterface *gi, const char *match,
                      const char *password, const char *kindWord, int save);

// Clears record slot (counted from 1, deleted records included) and saves.
void deleteRegisteredName(QxGameInterface *gi, int32_t slot);

// Shows every slot, deleted ones included.
void listRegisteredNames();

// ---- the file --------------------------------------------------------------

// Writes the list to path, replacing the file only once it is written whole,
// then sends the report. An existing file whose names the list has not
// taken in is read first and its names join the list; one that cannot be
// read is left alone. Returns 1 when the file was written.
int saveRegisteredNames(QxGameInterface *gi, const char *path);

// Reads path whole (at most kMaxFileSize bytes) and adds its records, with
// clearFirst after emptying the list.
LoadResult loadRegisteredNames(QxGameInterface *gi, const char *path,
                               int clearFirst);

// The same for the registered-name file, the home directory followed by
// qx_RegNameFn: the effects of setting qx_RegNameFn (load) and qx_RegNamePw
// (save under the new key).
void loadRegisteredNamesFile(QxGameInterface *gi);
void saveRegisteredNamesFile(QxGameInterface *gi);

// Joining a new server: loads the registered-name file afresh, then merges
// the import file regname1.dat when there is one, saves the merged list and
// deletes the import file once its names are safely saved.
void registeredNamesForNewServer(QxGameInterface *gi);

// ---- the report ------------------------------------------------------------

// Writes the report text and its terminator into report (kReportCapacity
// bytes) and returns its length with the terminator; 0 when there are no
// names to report.
int buildRegisteredNamesReport(uint8_t *report);

// Builds the report and sends it, sealed when the seal allowance permits.
// Nothing is sent without names.
void reportRegisteredNames(QxGameInterface *gi);

}  // namespace qx::regnames
