// Reads the updater's error box from the live window, as a user would see
// it, and can press its OK button.
//
//   box_probe.exe RESULT_FILE TIMEOUT_MS [DISMISS_AFTER_MS]
//
// Waits at most TIMEOUT_MS for a top-level window captioned "Update error"
// and writes key=value lines to RESULT_FILE: caption, class, owner, text,
// the visible buttons, and which stock icon matches what is painted on the
// screen. An icon handle belongs to the box's process, so the icon is read
// off the screen and compared with the stock icons drawn here. With
// DISMISS_AFTER_MS, presses OK that long after the box was found.
// Exit code 0 if the box was found, 1 if not.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "timeline.h"

namespace {

struct Children {
  HWND icon = NULL;
  HWND ok = NULL;
  std::string text;
  std::string buttons;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  Children* found = reinterpret_cast<Children*>(param);
  char cls[64] = "", text[512] = "";
  GetClassNameA(child, cls, sizeof(cls));
  GetWindowTextA(child, text, sizeof(text));
  if (_stricmp(cls, "Static") == 0) {
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
      found->icon = child;
    else if (text[0] != '\0')
      found->text = text;
  } else if (_stricmp(cls, "Button") == 0 && IsWindowVisible(child)) {
    found->buttons += found->buttons.empty() ? "" : ",";
    found->buttons += text;
    if (GetDlgCtrlID(child) == IDOK)
      found->ok = child;
  }
  return TRUE;
}

// Pixels of `area` on the screen that differ from `icon` drawn on the
// area's own background colour.
long Mismatch(const RECT& area, HICON icon) {
  const int w = area.right - area.left, h = area.bottom - area.top;
  HDC screen = GetDC(NULL);
  HDC shot = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
  HBITMAP shot_bits = CreateCompatibleBitmap(screen, w, h);
  HBITMAP drawn_bits = CreateCompatibleBitmap(screen, w, h);
  SelectObject(shot, shot_bits);
  SelectObject(drawn, drawn_bits);
  BitBlt(shot, 0, 0, w, h, screen, area.left, area.top, SRCCOPY);
  HBRUSH background = CreateSolidBrush(GetPixel(shot, 0, 0));
  RECT all = {0, 0, w, h};
  FillRect(drawn, &all, background);
  DrawIconEx(drawn, 0, 0, icon, 0, 0, 0, NULL, DI_NORMAL | DI_DEFAULTSIZE);
  long differ = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      differ += GetPixel(shot, x, y) != GetPixel(drawn, x, y);
  DeleteObject(background);
  DeleteDC(shot);
  DeleteDC(drawn);
  DeleteObject(shot_bits);
  DeleteObject(drawn_bits);
  ReleaseDC(NULL, screen);
  return differ;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3)
    return 2;
  FILE* out = fopen(argv[1], "w");
  if (out == NULL)
    return 2;
  const DWORD timeout = strtoul(argv[2], NULL, 10);
  const DWORD started = GetTickCount();
  HWND box = NULL;
  while ((box = FindWindowA(NULL, "Update error")) == NULL ||
         !IsWindowVisible(box)) {
    if (GetTickCount() - started > timeout) {
      fprintf(out, "found=no\n");
      fclose(out);
      return 1;
    }
    Sleep(50);
  }
  LogEvent("box-probe", "box-seen", "");
  Sleep(700);  // let the box paint itself before its pixels are read

  char caption[256] = "", cls[64] = "";
  GetWindowTextA(box, caption, sizeof(caption));
  GetClassNameA(box, cls, sizeof(cls));
  Children children;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
  fprintf(out, "found=yes\ncaption=%s\nclass=%s\nowner=%s\ntext=%s\n"
               "buttons=%s\n",
          caption, cls, GetWindow(box, GW_OWNER) ? "yes" : "none",
          children.text.c_str(), children.buttons.c_str());

  static const struct {
    const char* name;
    LPCSTR id;
  } kStockIcons[] = {{"error", IDI_ERROR},
                     {"warning", IDI_WARNING},
                     {"information", IDI_INFORMATION},
                     {"question", IDI_QUESTION}};
  if (children.icon != NULL) {
    RECT area;
    GetWindowRect(children.icon, &area);
    const char* best = "none";
    long best_mismatch = -1;
    for (const auto& stock : kStockIcons) {
      const long mismatch = Mismatch(area, LoadIconA(NULL, stock.id));
      fprintf(out, "icon_mismatch_%s=%ld\n", stock.name, mismatch);
      if (best_mismatch < 0 || mismatch < best_mismatch) {
        best_mismatch = mismatch;
        best = stock.name;
      }
    }
    fprintf(out, "icon=%s\n", best_mismatch == 0 ? best : "unmatched");
  } else {
    fprintf(out, "icon=none\n");
  }
  fflush(out);

  if (argc > 3) {
    Sleep(strtoul(argv[3], NULL, 10));
    LogEvent("box-probe", "box-dismissed", "");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(children.ok));
  }
  fclose(out);
  return 0;
}
