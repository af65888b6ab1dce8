// What the Win32 backend adds beside the seam: the one conversion between
// the program's names and Windows' own. The program holds every name and
// path as UTF-8 text; Windows holds them as UTF-16, converted only at the
// calls.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A Windows name as the program holds it. Windows does not require its
// names to be valid UTF-16: an unpaired surrogate is written as its own
// three-byte sequence (the form known as WTF-8), so that every name Windows
// can hold converts back to exactly the same UTF-16.
std::string Utf8FromWide(std::wstring_view wide);

// The inverse of Utf8FromWide. A byte that is not part of a sequence it
// could have written (never the case for a name read from Windows) becomes
// U+FFFD, which names nothing the program was handed.
std::wstring WideFromUtf8(std::string_view text);

// `path` as the W functions take it: unchanged while its full path fits in
// MAX_PATH; past that, the full path (separators, "." and ".." resolved) in
// the \\?\ form, which has no such limit.
std::wstring WidePath(const char* path);

// A path as WidePath gives it, in the form the system's own calls take
// (\??\C:\..., \??\UNC\server\...), which a rename through a handle needs on
// every version of Windows; empty when it cannot be had.
std::wstring SystemPath(const std::wstring& wide);

}  // namespace platform
