// The command lines by which the application's own exe is asked to work
// for the kit instead of running as the application: as the elevated
// helper that starts the updater, or as the unelevated watcher that brings
// the application back after an elevated update.
//
//   "<application>" --start-updater-helper "<updater>" "<installer>"
//       <digest> <hand-back>
//   "<copy>" --updater-hand-back-watcher <hand-back> "<application>"
//
// (Each is one line; the first is wrapped here only. The watcher runs from
// a copy of the application's exe, so that the installer can replace the
// exe while the watcher waits.)
//
// <digest> is the installer's SHA-256 as 64 lowercase hex digits, taken by
// the unelevated application before it asked for the prompt; <hand-back>
// is the watcher's id, 32 lowercase hex digits, or "-" for none. Paths
// stand between double quotes with no escapes, since a Windows path cannot
// hold a double quote, so a trailing backslash is literal. Blanks separate
// the parts; anything missing, malformed or extra makes the line
// malformed, and a malformed line starts nothing.
#ifndef UPDATER_CALLER_DETAIL_HELPER_COMMAND_LINE_H_
#define UPDATER_CALLER_DETAIL_HELPER_COMMAND_LINE_H_

#include <windows.h>

#include <stddef.h>
#include <string.h>

#include <updater_caller/detail/win32_helpers.h>

namespace updater_caller {
namespace internal {

const char kHelperSwitch[] = "--start-updater-helper";
const char kWatcherSwitch[] = "--updater-hand-back-watcher";
const char kNoHandBack[] = "-";
// The longest path the helper carries (MAX_PATH with its NUL): the longest
// the platform starts a program from.
const size_t kMaxHelperPath = MAX_PATH - 1;
const size_t kDigestSize = 32;      // SHA-256
const size_t kHandBackIdSize = 16;  // random bytes; twice as many digits
const size_t kHandBackIdLength = 2 * kHandBackIdSize;

// What a helper line asks for. Paths are NUL-terminated; `hand_back_id`
// is empty when the line carries "-".
struct HelperRequest {
  char updater[kMaxHelperPath + 1];
  char installer[kMaxHelperPath + 1];
  unsigned char digest[kDigestSize];
  char hand_back_id[kHandBackIdLength + 1];
};

// The longest helper parameters: the switch, two quoted paths, the digest
// and the id, each after a blank, and the NUL.
const size_t kMaxHelperParameters =
    (sizeof(kHelperSwitch) - 1) + 2 * (kMaxHelperPath + 3) +
    (2 * kDigestSize + 1) + (kHandBackIdLength + 1) + 1;

// What a watcher line asks for: the id of the event to wait for, and the
// application to start again.
struct WatcherRequest {
  char hand_back_id[kHandBackIdLength + 1];
  char application[kMaxHelperPath + 1];
};

enum CommandLineKind { kApplication, kMalformed, kHelper, kWatcher };

inline const char* SkipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t')
    ++p;
  return p;
}

inline bool EndOfToken(const char* p) {
  return *p == '\0' || *p == ' ' || *p == '\t';
}

// Skips the program token at the head of a command line: quoted, or up to
// the first blank. Null if its opening quote is never closed.
inline const char* SkipProgram(const char* p) {
  if (*p == '"') {
    p = strchr(p + 1, '"');
    return p == NULL ? NULL : p + 1;
  }
  while (!EndOfToken(p))
    ++p;
  return p;
}

// What follows `word` at `p`, if `p` holds exactly that token; else null.
inline const char* TakeWord(const char* p, const char* word) {
  const size_t length = strlen(word);
  if (strncmp(p, word, length) != 0 || !EndOfToken(p + length))
    return NULL;
  return p + length;
}

// Copies the quoted path at `p`, after at least one blank, into `path`
// (kMaxHelperPath + 1 bytes). Returns what follows its closing quote, or
// null if there is no such path or it is empty or too long.
inline const char* TakeQuotedPath(const char* p, char* path) {
  if (p == NULL || (*p != ' ' && *p != '\t'))
    return NULL;
  p = SkipBlanks(p);
  if (*p != '"')
    return NULL;
  const char* const begin = p + 1;
  const char* const end = strchr(begin, '"');
  if (end == NULL || end == begin)
    return NULL;
  const size_t length = static_cast<size_t>(end - begin);
  if (length > kMaxHelperPath)
    return NULL;
  memcpy(path, begin, length);
  path[length] = '\0';
  return end + 1;
}

inline int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;  // upper case too: one spelling per value
}

// Reads exactly 2 * `count` lowercase hex digits at `p`, after at least
// one blank, into `bytes`. Returns what follows them, or null.
inline const char* TakeHex(const char* p, unsigned char* bytes, size_t count) {
  if (p == NULL || (*p != ' ' && *p != '\t'))
    return NULL;
  p = SkipBlanks(p);
  for (size_t i = 0; i < count; ++i) {
    const int high = HexValue(p[2 * i]);
    const int low = high < 0 ? -1 : HexValue(p[2 * i + 1]);
    if (low < 0)
      return NULL;
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  p += 2 * count;
  return EndOfToken(p) ? p : NULL;
}

// True if `text` is a hand-back id: exactly kHandBackIdLength lowercase
// hex digits.
inline bool IsHandBackId(const char* text) {
  size_t length = 0;
  while (length <= kHandBackIdLength && HexValue(text[length]) >= 0)
    ++length;
  return length == kHandBackIdLength && text[length] == '\0';
}

// Reads the hand-back id at `p` (after at least one blank) into `id` as
// its digits, or as "" for "-". Returns what follows it, or null.
inline const char* TakeHandBackId(const char* p, char* id) {
  if (p == NULL || (*p != ' ' && *p != '\t'))
    return NULL;
  const char* after = TakeWord(SkipBlanks(p), kNoHandBack);
  if (after != NULL) {
    id[0] = '\0';
    return after;
  }
  unsigned char bytes[kHandBackIdSize];
  after = TakeHex(p, bytes, kHandBackIdSize);
  if (after != NULL)
    HexDigits(bytes, kHandBackIdSize, id);
  return after;
}

// Reads a command line. kApplication unless one of the kit's switches
// follows the program token; then kHelper with `request` filled, kWatcher
// with `watcher` filled, or kMalformed.
//
// Needs: a NUL-terminated line. Leaves: what it filled; reads nothing past
// the line's NUL and writes nothing past the buffers, whatever the line.
inline CommandLineKind ParseCommandLine(const char* command_line,
                                        HelperRequest* request,
                                        WatcherRequest* watcher) {
  const char* p = SkipProgram(command_line);
  if (p == NULL)
    return kApplication;
  p = SkipBlanks(p);
  const char* after_switch = TakeWord(p, kHelperSwitch);
  if (after_switch != NULL) {
    p = TakeQuotedPath(after_switch, request->updater);
    p = TakeQuotedPath(p, request->installer);
    p = TakeHex(p, request->digest, kDigestSize);
    p = TakeHandBackId(p, request->hand_back_id);
    return p != NULL && *SkipBlanks(p) == '\0' ? kHelper : kMalformed;
  }
  after_switch = TakeWord(p, kWatcherSwitch);
  if (after_switch != NULL) {
    p = TakeHandBackId(after_switch, watcher->hand_back_id);
    p = TakeQuotedPath(p, watcher->application);
    return p != NULL && *SkipBlanks(p) == '\0' &&
                   watcher->hand_back_id[0] != '\0'
               ? kWatcher
               : kMalformed;
  }
  return kApplication;
}

// True if `path` is a full path on a drive ("C:\..."): not a share, whose
// server an elevated helper would sign in to, nor a device or "\\?\" path.
inline bool IsDrivePath(const char* path) {
  const char drive = static_cast<char>(path[0] | 0x20);  // lower case
  return drive >= 'a' && drive <= 'z' && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

// 0 if `path` can travel on the helper's command line, else why not.
inline DWORD CheckHelperPath(const char* path) {
  if (path[0] == '\0' || strchr(path, '"') != NULL)
    return ERROR_INVALID_NAME;
  if (strlen(path) > kMaxHelperPath)
    return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

// Writes the helper's parameters (what follows the program on its command
// line) into `out`, kMaxHelperParameters bytes. Both paths must have
// passed CheckHelperPath; `hand_back_id` is digits or "".
inline void FormatHelperParameters(const char* updater, const char* installer,
                                   const unsigned char* digest,
                                   const char* hand_back_id, char* out) {
  char digits[2 * kDigestSize + 1];
  HexDigits(digest, kDigestSize, digits);
  char* p = out;
  const char* const parts[] = {
      kHelperSwitch,
      " \"",
      updater,
      "\" \"",
      installer,
      "\" ",
      digits,
      " ",
      hand_back_id[0] != '\0' ? hand_back_id : kNoHandBack};
  for (const char* part : parts) {
    const size_t length = strlen(part);
    memcpy(p, part, length);
    p += length;
  }
  *p = '\0';
}

}  // namespace internal
}  // namespace updater_caller

#endif  // UPDATER_CALLER_DETAIL_HELPER_COMMAND_LINE_H_
