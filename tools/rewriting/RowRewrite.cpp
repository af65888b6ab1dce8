#include "tools/rewriting/RowRewrite.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tools/rewriting/PresetRuleFacts.h"

static_assert(rules::kNumbersPassUnchanged,
              "a pattern holds a digit or '-': the rows would change the number that stage 1 writes, which "
              "RewriteMarkerLine copies as it is");

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

std::size_t Find(const char* text, std::size_t n, std::string_view what, std::size_t from = 0) {
  if (what.empty() || what.size() > n) return kNotFound;
  const std::size_t last = n - what.size();
  while (from <= last) {
    const void* hit = std::memchr(text + from, what[0], last - from + 1);
    if (hit == nullptr) return kNotFound;
    from = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
    if (std::memcmp(text + from + 1, what.data() + 1, what.size() - 1) == 0) return from;
    ++from;
  }
  return kNotFound;
}

// One left-to-right pass replacing each match, in place: every replacement
// is no longer than its pattern (PresetRules.h), so the write position
// never passes the read position.
std::size_t ReplaceAllInPlace(char* text, std::size_t n, std::string_view what, std::string_view with) {
  std::size_t hit = Find(text, n, what);
  if (hit == kNotFound) return n;
  std::size_t write = hit;
  std::size_t read = hit;
  while (hit != kNotFound) {
    std::memmove(text + write, text + read, hit - read);
    write += hit - read;
    if (!with.empty()) std::memcpy(text + write, with.data(), with.size());
    write += with.size();
    read = hit + what.size();
    hit = Find(text, n, what, read);
  }
  std::memmove(text + write, text + read, n - read);
  return write + (n - read);
}

int DigitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  return value < base ? value : -1;
}

// The number over [p, end), reading past every rules::kSkippedInValue as if
// it had been removed first: blanks, one sign, then decimal digits, "$" and
// hexadecimal or "%" and binary, in 64-bit wrapping arithmetic; it stops at
// the first byte that is not a digit, and no digit gives 0. Each byte is
// asked for once, past the skipped ones: the marker lines of a file are
// many, and their numbers short.
std::int64_t ParseValue(const char* p, const char* end) {
  // The byte at p once the skipped ones are passed, or '\0' at the end.
  auto next = [&]() {
    while (p < end && *p == rules::kSkippedInValue) ++p;
    return p < end ? *p : '\0';
  };
  char c = next();
  while (c == ' ' || c == '\t') {
    ++p;
    c = next();
  }
  bool negative = false;
  if (c == '-' || c == '+') {
    negative = c == '-';
    ++p;
    c = next();
  }
  int base = 10;
  if (c == '$' || c == '%') {
    base = c == '$' ? 16 : 2;
    ++p;
    c = next();
  }
  std::uint64_t value = 0;
  // (The end gives '\0', which is no digit.)
  for (int digit; (digit = DigitValue(c, base)) >= 0;) {
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    ++p;
    c = next();
  }
  return static_cast<std::int64_t>(negative ? 0 - value : value);
}

std::size_t FormatInto(std::int32_t value, char* out) {
  char digits[10];
  std::size_t count = 0;
  auto magnitude = static_cast<std::uint32_t>(value);
  if (value < 0) magnitude = 0 - magnitude;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t length = 0;
  if (value < 0) out[length++] = '-';
  while (count > 0) out[length++] = digits[--count];
  return length;
}

// The number read, in the current scale.
std::int32_t Rescaled(std::int64_t value) {
  const auto scaled =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(value) * static_cast<std::uint64_t>(rules::kScaleTo)) /
      rules::kScaleFrom;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(scaled));
}

// The value is read from the byte behind the marker's length, wherever the
// marker stood: stored presets were converted that way.
std::int32_t RescaledValue(const char* line, std::size_t n) {
  const std::size_t start = n < rules::kMarker.size() ? n : rules::kMarker.size();
  // Most lines hold a decimal digit right behind the marker. The number is
  // then its digits, skipped bytes passed over, up to the first other byte:
  // read here without the general reading's questions of blanks, sign and
  // base.
  const char* const end = line + n;
  const char* p = line + start;
  if (p == end || static_cast<unsigned char>(*p - '0') > 9) return Rescaled(ParseValue(p, end));
  std::uint64_t decimal = 0;
  for (; p < end; ++p) {
    const auto digit = static_cast<unsigned char>(*p - '0');
    if (digit <= 9) {
      decimal = decimal * 10 + digit;
    } else if (*p != rules::kSkippedInValue) {
      break;
    }
  }
  return Rescaled(static_cast<std::int64_t>(decimal));
}

}  // namespace

std::size_t RewriteMarkerLine(const char* line, std::size_t n, char* out) {
  // Read before anything is written: `out` may be the line itself.
  const std::int32_t value = RescaledValue(line, n);
  constexpr std::string_view start = rules::kMarkerLineStart.View();
  std::memcpy(out, start.data(), start.size());
  return start.size() + FormatInto(value, out + start.size());
}

std::size_t RenameRowByRow(char* text, std::size_t n) {
  // A copy: where link-time optimisation folds every use of the shared
  // table away, the MinGW linker warns about the section left behind.
  static constexpr std::array<rules::Rename, rules::kRenameRows> kRows = [] {
    std::array<rules::Rename, rules::kRenameRows> rows{};
    for (std::size_t row = 0; row < rules::kRenameRows; ++row) rows[row] = rules::kRenames[row];
    return rows;
  }();
  for (const rules::Rename& rename : kRows) n = ReplaceAllInPlace(text, n, rename.find, rename.with);
  return n;
}
