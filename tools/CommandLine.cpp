#include "tools/CommandLine.h"

#include <cstdint>
#include <string_view>

namespace command_line {

Invocation ReadArguments(const std::vector<std::string>& arguments, bool utf8) {
  Invocation invocation;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      if (argument.empty()) return Invocation{Request::UsageError, {}, "an empty FOLDER names no folder"};
      invocation.folders.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-h" || argument == "--help") {
      return Invocation{Request::Help, {}, ""};
    } else if (argument == "-V" || argument == "--version") {
      return Invocation{Request::Version, {}, ""};
    } else {
      return Invocation{Request::UsageError, {}, "unknown option " + ShownText(argument, utf8, true)};
    }
  }
  return invocation;
}

std::string UsageText() {
  const std::string name = kProgramName;
  return "Usage: " + name + " [--] [FOLDER...]\n" + "       " + name + " -h | --help | -V | --version\n" +
         "\n"
         "Rewrites every legacy brush preset FOLDER/convert/*.kvr into the current\n"
         "preset form and writes it under the same name into FOLDER/Converted/, every\n"
         "line ending in CR LF; a file of that name already there is replaced.\n"
         "Each FOLDER is converted in turn, the current folder when none is given;\n"
         "a FOLDER named \"convert\" or \"Converted\" that holds no folder \"convert\"\n"
         "stands for its parent. Both folders must exist: none is ever created.\n"
         "The run ends with \"Finish\" and \"Conversion termin\xC3\xA9"
         "e !\", which waits for\n"
         "Enter when standard input and output are a terminal.\n"
         "\n"
         "Options:\n"
         "  -h, --help     print this help and exit\n"
         "  -V, --version  print the version and exit\n"
         "  --             end of the options: what follows are FOLDERs\n"
         "\n"
         "Exit status:\n"
         "  0  every preset was converted (also when there was none)\n"
         "  1  a preset was not converted, or a folder (convert, Converted or\n"
         "     a FOLDER) is missing or unreadable; each problem is told on\n"
         "     standard error\n"
         "  2  the command line was not understood; no file was touched\n";
}

std::string TryHelpText() { return "Try '" + std::string(kProgramName) + " --help' for more information.\n"; }

std::string VersionText() { return std::string(kProgramName) + " " + BRUSH_VERSION + "\n"; }

bool IsWorkingSubfolderName(std::string_view name, PathStyle style) {
  for (std::string_view wanted : {std::string_view("convert"), std::string_view("Converted")}) {
    if (name.size() != wanted.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i], w = wanted[i];
      if (style == PathStyle::Windows) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
      }
      same = c == w;
    }
    if (same) return true;
  }
  return false;
}

namespace {

// The length of the character starting text[at] when it is one a terminal
// shows as itself: a printable ASCII byte, or (`utf8`) a well-formed UTF-8
// sequence for a character that is not a C1 control. 0 otherwise.
std::size_t ShownCharacterLength(std::string_view text, std::size_t at, bool utf8) {
  const auto byte = static_cast<unsigned char>(text[at]);
  if (byte >= 0x20 && byte < 0x7F) return 1;
  if (!utf8 || byte < 0xC2 || byte > 0xF4) return 0;
  const std::size_t length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  if (at + length > text.size()) return 0;
  std::uint32_t code = byte & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and code points beyond Unicode are not
  // characters; C1 controls move a terminal's cursor like C0 ones, and the
  // line and paragraph separators end a line where text is shown by Unicode's
  // rules.
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  if (code <= 0x9F || code == 0x2028 || code == 0x2029) return 0;
  return length;
}

void AppendEscaped(std::string* out, unsigned char byte) {
  static constexpr char kNamed[] = "abtnvfr";  // \a (7) to \r (13)
  if (byte >= 7 && byte <= 13) {
    *out += '\\';
    *out += kNamed[byte - 7];
    return;
  }
  *out += '\\';
  *out += static_cast<char>('0' + (byte >> 6));
  *out += static_cast<char>('0' + ((byte >> 3) & 7));
  *out += static_cast<char>('0' + (byte & 7));
}

template <typename Char>
bool IsSeparator(Char c, PathStyle style) {
  return c == Char('/') || (style == PathStyle::Windows && c == Char('\\'));
}

// The length of `path` without its trailing separators; a path made only of
// separators keeps its first one (it is a root).
template <typename Char>
std::size_t LengthWithoutTrailingSeparators(const std::basic_string<Char>& path, PathStyle style) {
  std::size_t length = path.size();
  while (length > 1 && IsSeparator(path[length - 1], style)) --length;
  return length;
}

// Where the last component of path[0, length) starts: after the last
// separator, or after a drive prefix on Windows.
template <typename Char>
std::size_t LastComponentStart(const std::basic_string<Char>& path, std::size_t length, PathStyle style) {
  for (std::size_t i = length; i > 0; --i) {
    if (IsSeparator(path[i - 1], style) || (style == PathStyle::Windows && path[i - 1] == Char(':'))) return i;
  }
  return 0;
}

template <typename Char>
bool IsWorkingSubfolderName(const std::basic_string<Char>& path, std::size_t start, std::size_t end, PathStyle style) {
  std::string name;
  for (std::size_t i = start; i < end; ++i) {
    if (path[i] < Char(1) || path[i] > Char(127)) return false;
    name += static_cast<char>(path[i]);
  }
  return IsWorkingSubfolderName(name, style);
}

}  // namespace

template <typename Char>
std::basic_string<Char> WorkingFolderFor(const std::basic_string<Char>& folder, PathStyle style,
                                         const std::function<bool(const std::basic_string<Char>&)>& isFolder) {
  const std::size_t end = LengthWithoutTrailingSeparators(folder, style);
  const std::size_t start = LastComponentStart(folder, end, style);
  if (!IsWorkingSubfolderName(folder, start, end, style)) return folder;
  std::basic_string<Char> inner = folder.substr(0, end);
  inner += style == PathStyle::Windows ? Char('\\') : Char('/');
  for (char c : std::string_view("convert")) inner += Char(c);
  if (isFolder(inner)) return folder;
  if (start == 0) return std::basic_string<Char>(1, Char('.'));
  return folder.substr(0, start);
}

template std::string WorkingFolderFor<char>(const std::string&, PathStyle,
                                            const std::function<bool(const std::string&)>&);
template std::wstring WorkingFolderFor<wchar_t>(const std::wstring&, PathStyle,
                                                const std::function<bool(const std::wstring&)>&);

std::string ShownText(std::string_view text, bool utf8, bool alwaysQuoted) {
  bool plain = true;
  for (std::size_t at = 0; at < text.size() && plain;) {
    const std::size_t length = ShownCharacterLength(text, at, utf8);
    plain = length > 0;
    at += length;
  }
  if (plain && !alwaysQuoted) return std::string(text);
  // Shown characters go between single quotes, a quote as \', every other
  // byte as an escape inside $'...', as a POSIX shell reads it back.
  std::string out;
  bool quoted = false;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = ShownCharacterLength(text, at, utf8);
    if (length == 0) {
      if (quoted) out += '\'';
      out += "$'";
      for (; at < text.size() && ShownCharacterLength(text, at, utf8) == 0; ++at) {
        AppendEscaped(&out, static_cast<unsigned char>(text[at]));
      }
      out += '\'';
      quoted = false;
    } else if (text[at] == '\'') {
      if (quoted) out += '\'';
      out += "\\'";
      quoted = false;
      ++at;
    } else {
      if (!quoted) out += '\'';
      quoted = true;
      out.append(text.substr(at, length));
      at += length;
    }
  }
  if (quoted || out.empty()) out += out.empty() ? "''" : "'";
  return out;
}

std::string ShownPrefix(const std::string& workingFolder, PathStyle style) {
  if (workingFolder == "." || workingFolder.empty()) return std::string();
  const char last = workingFolder.back();
  if (IsSeparator(last, style) || (style == PathStyle::Windows && last == ':')) return workingFolder;
  return workingFolder + (style == PathStyle::Windows ? '\\' : '/');
}

std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view line) {
  const std::size_t n = line.size();
  auto isBlank = [&](std::size_t at) { return line[at] == L' ' || line[at] == L'\t'; };
  // The program's name: up to the next quote when it starts with one, else
  // up to a blank; backslashes are plain there.
  std::size_t i = 0;
  if (n > 0 && line[0] == L'"') {
    i = line.find(L'"', 1);
    i = i == std::wstring_view::npos ? n : i + 1;
  }
  while (i < n && !isBlank(i)) ++i;
  std::vector<std::wstring> arguments;
  for (;;) {
    while (i < n && isBlank(i)) ++i;
    if (i == n) break;
    std::wstring argument;
    bool quoted = false;
    while (i < n && (quoted || !isBlank(i))) {
      if (line[i] == L'\\') {
        std::size_t count = 0;
        while (i + count < n && line[i + count] == L'\\') ++count;
        const std::size_t after = i + count;
        if (after < n && line[after] == L'"') {
          if (quoted && count % 2 == 1 && (after + 1 == n || isBlank(after + 1))) {
            argument.append(count, L'\\');
            quoted = false;
            i = after + 1;
            continue;
          }
          argument.append(count / 2, L'\\');
          if (count % 2 == 1) argument += L'"';
          i = count % 2 == 1 ? after + 1 : after;
        } else {
          argument.append(count, L'\\');
          i = after;
        }
      } else if (line[i] == L'"') {
        if (quoted && i + 1 < n && line[i + 1] == L'"') {
          argument += L'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        argument += line[i++];
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace command_line
