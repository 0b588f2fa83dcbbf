// The shell's line input. On a terminal: left/right, Home/End (also Ctrl-A/Ctrl-E), Backspace,
// Ctrl-U, and Up/Down through this session's history; Ctrl-D on an empty line ends. Otherwise
// (a pipe, a file, Windows): plain lines.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "ctl.h"

#if !defined(_WIN32)
#include <termios.h>
#include <unistd.h>
#endif

namespace xrusbctl {
namespace {

std::vector<std::string> g_history;

bool PlainLine(const char *prompt, std::string &line) {
  if (prompt && *prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
  }
  return bool(std::getline(std::cin, line));
}

}  // namespace

bool ReadLine(const char *prompt, std::string &line) {
#if defined(_WIN32)
  return PlainLine(prompt, line);  // the console's own editing and history (F7) apply
#else
  if (!isatty(0) || !isatty(1)) return PlainLine(nullptr, line);
  termios saved;
  if (tcgetattr(0, &saved) != 0) return PlainLine(prompt, line);
  termios raw = saved;
  raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(0, TCSAFLUSH, &raw);
  line.clear();
  size_t cursor = 0, recall = g_history.size();
  bool ok = true;
  auto redraw = [&] {
    std::printf("\r\x1b[K%s%s", prompt, line.c_str());
    if (line.size() > cursor) std::printf("\x1b[%zuD", line.size() - cursor);
    std::fflush(stdout);
  };
  redraw();
  for (;;) {
    char ch;
    if (read(0, &ch, 1) != 1) {
      ok = false;
      break;
    }
    if (ch == '\r' || ch == '\n') break;
    if (ch == 4 && line.empty()) {  // Ctrl-D
      ok = false;
      break;
    }
    if (ch == 127 || ch == 8) {
      if (cursor) line.erase(--cursor, 1);
    } else if (ch == 1) {
      cursor = 0;
    } else if (ch == 5) {
      cursor = line.size();
    } else if (ch == 21) {
      line.erase(0, cursor);
      cursor = 0;
    } else if (ch == 27) {  // ESC [ A/B/C/D/H/F
      char seq[2];
      if (read(0, &seq[0], 1) != 1 || read(0, &seq[1], 1) != 1 || seq[0] != '[') continue;
      if (seq[1] == 'A' && recall > 0) line = g_history[--recall], cursor = line.size();
      if (seq[1] == 'B' && recall < g_history.size()) {
        ++recall;
        line = recall < g_history.size() ? g_history[recall] : std::string();
        cursor = line.size();
      }
      if (seq[1] == 'C' && cursor < line.size()) ++cursor;
      if (seq[1] == 'D' && cursor > 0) --cursor;
      if (seq[1] == 'H') cursor = 0;
      if (seq[1] == 'F') cursor = line.size();
    } else if (static_cast<unsigned char>(ch) >= 32) {
      line.insert(cursor++, 1, ch);
    }
    redraw();
  }
  tcsetattr(0, TCSAFLUSH, &saved);
  std::printf("\n");
  if (ok && !line.empty() && (g_history.empty() || g_history.back() != line)) g_history.push_back(line);
  return ok;
#endif
}

}  // namespace xrusbctl
