// The line rewriting written the plainest way, straight from the rules of
// tools/rewriting/PresetRules.h: one new string per step, each found by the
// standard library's search. The fast code is checked against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/rewriting/PresetRules.h"

namespace reference {

inline bool Contains(const std::string& text, const std::string& what) {
  return !what.empty() && text.find(what) != std::string::npos;
}

// Every match, left to right, none overlapping the one before.
inline std::string Replace(const std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(what, from)) != std::string::npos; from = at + what.size()) {
    out.append(text, from, at - from);
    out += with;
  }
  out.append(text, from, std::string::npos);
  return out;
}

inline std::string Remove(const std::string& text, const std::string& what) { return Replace(text, what, ""); }

inline std::int64_t Parse(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    value = value * base + digit;
  }
  if (negative) value = ~value + 1;
  return static_cast<std::int64_t>(value);
}

// The three stages of PresetRules.h, one row at a time.
inline std::string Rewrite(std::string line) {
  const std::string marker(rules::kMarker);
  if (Contains(line, marker)) {
    std::string value = line.size() > marker.size() ? line.substr(marker.size()) : std::string();
    value = Remove(value, std::string(1, rules::kSkippedInValue));
    std::int64_t number = Parse(value);
    std::int64_t quotient =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(number) * static_cast<std::uint64_t>(rules::kScaleTo)) /
        rules::kScaleFrom;
    auto scaled = static_cast<std::int32_t>(static_cast<std::uint32_t>(quotient));
    line = marker + std::to_string(scaled);
  }
  for (std::string_view removal : rules::kRemovals) line = Remove(line, std::string(removal));
  for (const rules::Rename& rename : rules::kRenames) {
    line = Replace(line, std::string(rename.find), std::string(rename.with));
  }
  return line;
}

// Line framing one byte at a time: CR, LF, CR LF and NUL end a line; a
// last line without terminator still counts.
inline std::vector<std::string> Frame(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  auto ends = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  while (i < bytes.size()) {
    std::string line;
    while (i < bytes.size() && !ends(bytes[i])) line += bytes[i++];
    if (i < bytes.size() && bytes[i++] == '\r' && i < bytes.size() && bytes[i] == '\n') ++i;
    lines.push_back(line);
  }
  return lines;
}

// What the converter writes for a file of these bytes.
inline std::string Convert(const std::string& bytes) {
  std::string out;
  for (const std::string& line : Frame(bytes)) out += Rewrite(line) + "\r\n";
  return out;
}

}  // namespace reference
