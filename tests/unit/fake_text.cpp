// The fake's text: how the ANSI calls' bytes and the wide calls' UTF-16
// meet in the one machine. The fake keeps every path in UTF-8; an ANSI
// path is read in the machine's ANSI code page (Windows-1252, or UTF-8
// where the machine is set so), and a name given back to an ANSI call
// shows each character without an ANSI form as '?', as Windows's own
// conversion does.
#include <string.h>

#include "fake_internal.h"
#include "fake_win32.h"

namespace fake {

using internal::Quote;
using internal::Widen;

namespace internal {

std::string Utf8(const std::wstring& wide) {
  std::string text;
  for (wchar_t c : wide) {
    const uint32_t code = static_cast<uint32_t>(c);
    if (code < 0x80) {
      text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (code >> 6)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (code >> 12)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (code >> 18)));
      text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return text;
}

std::wstring WideOf(const std::string& utf8, bool* valid) {
  std::wstring wide;
  bool ok = true;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80              ? 1
                          : (lead & 0xE0) == 0xC0 ? 2
                          : (lead & 0xF0) == 0xE0 ? 3
                          : (lead & 0xF8) == 0xF0 ? 4
                                                  : 0;
    uint32_t code = length == 1 ? lead
                    : length == 2 ? lead & 0x1Fu
                    : length == 3 ? lead & 0x0Fu
                                  : lead & 0x07u;
    bool good = length != 0 && i + length <= utf8.size();
    for (size_t k = 1; good && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      good = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (!good) {
      ok = false;
      wide.push_back(static_cast<wchar_t>(0xFFFD));
      ++i;
      continue;
    }
    wide.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  if (valid != NULL)
    *valid = ok;
  return wide;
}

bool AnsiByteOf(wchar_t c, char* byte) {
  for (int b = 1; b < 256; ++b) {
    if (Widen(static_cast<unsigned char>(b)) == c) {
      *byte = static_cast<char>(b);
      return true;
    }
  }
  return false;
}

// Windows's best fit for Windows-1252 turns letters it has no byte for
// into look-alikes ("\u0100" into "A"); a few are enough for the fake to
// show a conversion that allowed it.
bool BestFitOf(wchar_t c, char* byte) {
  // The fullwidth forms of the characters a path and a command line are
  // cut at.
  if (c == 0xFF3C || c == 0xFF0F || c == 0xFF02) {
    *byte = c == 0xFF3C ? '\\' : c == 0xFF0F ? '/' : '"';
    return true;
  }
  if (c >= 0x0100 && c <= 0x0105) {
    *byte = (c & 1) != 0 ? 'a' : 'A';
    return true;
  }
  if (c >= 0x0106 && c <= 0x010D) {
    *byte = (c & 1) != 0 ? 'c' : 'C';
    return true;
  }
  return false;
}

wchar_t FoldCase(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
      (c >= 0x0430 && c <= 0x044F))
    return static_cast<wchar_t>(c - 0x20);
  if (c >= 0x0450 && c <= 0x045F)
    return static_cast<wchar_t>(c - 0x50);
  return c;
}

}  // namespace internal

using internal::AnsiByteOf;
using internal::Utf8;
using internal::WideOf;

std::string Utf8FromAnsi(const std::string& ansi) {
  std::wstring wide;
  for (char c : ansi)
    wide.push_back(Widen(static_cast<unsigned char>(c)));
  return Utf8(wide);
}

std::string Win32::FromAnsi(const std::string& ansi) const {
  return ansi_code_page_ == CP_UTF8 ? ansi : Utf8FromAnsi(ansi);
}

std::string Win32::ToCodePage(const std::string& utf8, UINT code_page,
                              bool best_fit) const {
  if (code_page == CP_UTF8)
    return utf8;
  std::string text;
  for (wchar_t c : WideOf(utf8, NULL)) {
    char byte;
    text.push_back(AnsiByteOf(c, &byte) ||
                           (best_fit && internal::BestFitOf(c, &byte))
                       ? byte
                       : '?');
  }
  return text;
}

std::string Win32::ToAnsi(const std::string& utf8) const {
  return ToCodePage(utf8, ansi_code_page_, /*best_fit=*/false);
}

LONG Win32::RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value,
                         DWORD flags, LPDWORD type, PVOID data,
                         LPDWORD size) {
  // The one value the fake's registry holds: the system's ANSI code page.
  LONG result = ERROR_SUCCESS;
  const std::wstring text = std::to_wstring(system_code_page_);
  const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
  if (key != HKEY_LOCAL_MACHINE || sub_key == NULL || value == NULL ||
      std::wstring(sub_key) !=
          L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage" ||
      std::wstring(value) != L"ACP") {
    result = ERROR_FILE_NOT_FOUND;
  } else if ((flags & RRF_RT_REG_SZ) == 0) {
    result = ERROR_UNSUPPORTED_TYPE;
  } else if (size == NULL || (data != NULL && *size < needed)) {
    if (size != NULL)
      *size = needed;
    result = size == NULL ? ERROR_INVALID_PARAMETER : ERROR_MORE_DATA;
  } else {
    if (data != NULL)
      memcpy(data, text.c_str(), needed);
    *size = needed;
    if (type != NULL)
      *type = 1;  // REG_SZ
  }
  log_.push_back("RegGetValueW(" + Utf8(sub_key != NULL ? sub_key : L"") +
                 "\\" + Utf8(value != NULL ? value : L"") + ") = " +
                 std::to_string(result));
  return result;
}

UINT Win32::GetACP() {
  log_.push_back("GetACP() = " + std::to_string(ansi_code_page_));
  return ansi_code_page_;
}

int Win32::MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text,
                               int text_size, LPWSTR wide, int wide_size) {
  int result = 0;
  if ((code_page != CP_ACP && code_page != CP_UTF8) ||
      (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0 ||
      text == NULL || text_size == 0 || wide_size < 0 ||
      (wide == NULL && wide_size != 0)) {
    last_error_ = code_page != CP_ACP && code_page != CP_UTF8
                      ? ERROR_INVALID_PARAMETER
                  : (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0
                      ? ERROR_INVALID_FLAGS
                      : ERROR_INVALID_PARAMETER;
  } else {
    const std::string bytes(text, text_size < 0
                                      ? strlen(text) + 1
                                      : static_cast<size_t>(text_size));
    bool valid = true;
    const bool utf8 = code_page == CP_UTF8 || ansi_code_page_ == CP_UTF8;
    std::wstring converted;
    if (utf8) {
      converted = WideOf(bytes, &valid);
    } else {
      for (char c : bytes)
        converted.push_back(Widen(static_cast<unsigned char>(c)));
    }
    if (!valid && (flags & MB_ERR_INVALID_CHARS) != 0) {
      last_error_ = ERROR_NO_UNICODE_TRANSLATION;
    } else if (wide_size == 0) {
      result = static_cast<int>(converted.size());
    } else if (static_cast<size_t>(wide_size) < converted.size()) {
      last_error_ = ERROR_INSUFFICIENT_BUFFER;
    } else {
      memcpy(wide, converted.data(), converted.size() * sizeof(WCHAR));
      result = static_cast<int>(converted.size());
    }
  }
  log_.push_back("MultiByteToWideChar(" + std::to_string(code_page) + ", " +
                 Quote(text) + ", " + std::to_string(text_size) + ", " +
                 std::to_string(wide_size) + ") = " + std::to_string(result));
  return result;
}

int Win32::WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide,
                               int wide_size, LPSTR text, int text_size,
                               LPCSTR default_char, LPBOOL used_default) {
  const bool utf8 = code_page == CP_UTF8 ||
                    (code_page == CP_ACP && ansi_code_page_ == CP_UTF8);
  // The code pages the fake's machine knows: its ANSI code page by name,
  // Windows-1252 and UTF-8.
  const bool known = code_page == CP_ACP || code_page == CP_UTF8 ||
                     code_page == 1252;
  int result = 0;
  // What Windows refuses: for UTF-8 only WC_ERR_INVALID_CHARS, and no
  // default character; for an ANSI code page no WC_ERR_INVALID_CHARS.
  const DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  if (!known) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else if ((flags & ~allowed) != 0) {
    last_error_ = ERROR_INVALID_FLAGS;
  } else if (wide == NULL || wide_size == 0 || text_size < 0 ||
             (text == NULL && text_size != 0) ||
             (utf8 && (default_char != NULL || used_default != NULL))) {
    last_error_ = ERROR_INVALID_PARAMETER;
  } else {
    const std::wstring source(
        wide, wide_size < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wide_size));
    std::string converted;
    bool defaulted = false;
    bool invalid = false;
    if (utf8) {
      for (wchar_t c : source)
        invalid |= c >= 0xD800 && c <= 0xDFFF;  // a lone half of a pair
      converted = Utf8(source);
    } else {
      for (wchar_t c : source) {
        char byte;
        if (AnsiByteOf(c, &byte) || c == 0 ||
            ((flags & WC_NO_BEST_FIT_CHARS) == 0 &&
             internal::BestFitOf(c, &byte))) {
          converted.push_back(c == 0 ? '\0' : byte);
        } else {
          converted.push_back(default_char != NULL ? *default_char : '?');
          defaulted = true;
        }
      }
    }
    if (invalid && (flags & WC_ERR_INVALID_CHARS) != 0) {
      last_error_ = ERROR_NO_UNICODE_TRANSLATION;
    } else if (text_size == 0) {
      result = static_cast<int>(converted.size());
    } else if (static_cast<size_t>(text_size) < converted.size()) {
      last_error_ = ERROR_INSUFFICIENT_BUFFER;
    } else {
      memcpy(text, converted.data(), converted.size());
      result = static_cast<int>(converted.size());
    }
    if (used_default != NULL)
      *used_default = defaulted ? TRUE : FALSE;
  }
  log_.push_back("WideCharToMultiByte(" + std::to_string(code_page) + ", " +
                 Quote(Utf8(wide != NULL ? wide : L"").c_str()) + ") = " +
                 std::to_string(result));
  return result;
}

int Win32::CompareStringOrdinal(LPCWSTR first, int first_size, LPCWSTR second,
                                int second_size, BOOL ignore_case) {
  if (first == NULL || second == NULL || first_size < -1 || second_size < -1) {
    last_error_ = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::wstring a(first, first_size < 0 ? wcslen(first)
                                       : static_cast<size_t>(first_size));
  std::wstring b(second, second_size < 0 ? wcslen(second)
                                         : static_cast<size_t>(second_size));
  if (ignore_case) {
    for (wchar_t& c : a)
      c = internal::FoldCase(c);
    for (wchar_t& c : b)
      c = internal::FoldCase(c);
  }
  const int order = a.compare(b);
  return order < 0 ? CSTR_LESS_THAN : order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}

}  // namespace fake

extern "C" {

UINT WINAPI GetACP(void) { return fake::Platform().GetACP(); }
LONG WINAPI RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags,
                         LPDWORD type, PVOID data, LPDWORD size) {
  return fake::Platform().RegGetValueW(key, sub_key, value, flags, type, data,
                                       size);
}
int WINAPI MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text,
                               int text_size, LPWSTR wide, int wide_size) {
  return fake::Platform().MultiByteToWideChar(code_page, flags, text,
                                              text_size, wide, wide_size);
}
int WINAPI WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide,
                               int wide_size, LPSTR text, int text_size,
                               LPCSTR default_char, LPBOOL used_default) {
  return fake::Platform().WideCharToMultiByte(code_page, flags, wide,
                                              wide_size, text, text_size,
                                              default_char, used_default);
}
int WINAPI CompareStringOrdinal(LPCWSTR first, int first_size, LPCWSTR second,
                                int second_size, BOOL ignore_case) {
  return fake::Platform().CompareStringOrdinal(first, first_size, second,
                                               second_size, ignore_case);
}

}  // extern "C"
