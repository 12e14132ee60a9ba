// tlmbuild: writes a TLM file from a line-oriented description read from
// standard input, or the demonstration file.
//
//   tlmbuild OUT            description on standard input
//   tlmbuild --sample OUT   demonstration file
//
// Description lines (blank lines and '#' comments are ignored; a word starting
// with '#' ends the line):
//   pkt key=value ...   one SFDU record wrapping one packet
//   raw HEX...          raw bytes appended as they are
// pkt keys: apid (required, 0-2047), flags (0-3), count (0-16383), sec, sub
// (0-255), data (hex digits, ramp:N, ramp:N:START or zeros:N), fill (0/1),
// prefill, len (packet length field), auth (control authority), l1, l2, l3
// (header block body lengths), agg (aggregation length A), body (body length L),
// extra (hex bytes after the packet), trunc (cut the record to this many bytes).
// Numbers are decimal or 0x-prefixed hex.
//
// Exit status: 0 on success, 2 for a usage or description error (message
// "tlmbuild: line N: ..."), 1 when the file cannot be written.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tlm_builder.h"

namespace {

// A description error; the caller adds the line number.
struct DescriptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr size_t kMaxGenerated = size_t{1} << 20;

uint64_t parse_number(std::string_view key, std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    throw DescriptionError(std::string(key) + ": bad number '" + std::string(text) + "'");
  }
  if (value > max) {
    throw DescriptionError(std::string(key) + ": " + std::to_string(value) +
                           " out of range (at most " + std::to_string(max) + ")");
  }
  return value;
}

std::vector<uint8_t> parse_hex(std::string_view key, std::string_view text) {
  try {
    return tlm::hex(text);
  } catch (const std::invalid_argument& e) {
    throw DescriptionError(std::string(key) + ": " + e.what());
  }
}

// data=HEX | ramp:N | ramp:N:START | zeros:N
std::vector<uint8_t> parse_data(std::string_view text) {
  const auto generated = [&](std::string_view kind) -> std::vector<uint8_t> {
    std::string_view rest = text.substr(kind.size() + 1);
    const size_t colon = rest.find(':');
    const size_t n = parse_number("data", rest.substr(0, colon), kMaxGenerated);
    uint8_t start = 0;
    if (colon != std::string_view::npos) {
      if (kind != "ramp") throw DescriptionError("data: zeros takes no start value");
      start = static_cast<uint8_t>(parse_number("data", rest.substr(colon + 1), 255));
    }
    return kind == "ramp" ? tlm::ramp(n, start) : std::vector<uint8_t>(n, 0);
  };
  if (text.starts_with("ramp:")) return generated("ramp");
  if (text.starts_with("zeros:")) return generated("zeros");
  return parse_hex("data", text);
}

void parse_pkt(const std::vector<std::string>& words, tlm::Builder& builder) {
  tlm::Packet p;
  tlm::Framing f;
  std::set<std::string> seen;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    const size_t eq = w.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw DescriptionError("expected key=value, got '" + w + "'");
    }
    const std::string key = w.substr(0, eq);
    const std::string_view value = std::string_view(w).substr(eq + 1);
    if (!seen.insert(key).second) throw DescriptionError("duplicate key '" + key + "'");
    const auto u16 = [&] { return static_cast<uint16_t>(parse_number(key, value, 0xFFFF)); };
    if (key == "apid") {
      p.apid = static_cast<uint16_t>(parse_number(key, value, 0x7FF));
    } else if (key == "flags") {
      p.flags = static_cast<uint8_t>(parse_number(key, value, 3));
    } else if (key == "count") {
      p.count = static_cast<uint16_t>(parse_number(key, value, 0x3FFF));
    } else if (key == "sec") {
      p.seconds = static_cast<uint32_t>(parse_number(key, value, 0xFFFFFFFFu));
    } else if (key == "sub") {
      p.subseconds = static_cast<uint8_t>(parse_number(key, value, 255));
    } else if (key == "data") {
      p.data = parse_data(value);
    } else if (key == "fill") {
      p.fill = parse_number(key, value, 1) != 0;
    } else if (key == "prefill") {
      p.prefill_size = u16();
    } else if (key == "len") {
      p.length_field = u16();
    } else if (key == "auth") {
      f.authority = std::string(value);
    } else if (key == "l1") {
      f.l1 = u16();
    } else if (key == "l2") {
      f.l2 = u16();
    } else if (key == "l3") {
      f.l3 = u16();
    } else if (key == "agg") {
      f.aggregation_length = u16();
    } else if (key == "body") {
      f.body_length = u16();
    } else if (key == "extra") {
      f.extra = parse_hex(key, value);
    } else if (key == "trunc") {
      f.truncate = static_cast<size_t>(parse_number(key, value, kMaxGenerated));
    } else {
      throw DescriptionError("unknown key '" + key + "'");
    }
  }
  if (!seen.contains("apid")) throw DescriptionError("pkt needs apid=");
  try {
    builder.add(p, f);
  } catch (const std::length_error& e) {
    throw DescriptionError(e.what());
  }
}

int usage() {
  std::cerr << "usage: tlmbuild OUT          (description on standard input)\n"
               "       tlmbuild --sample OUT (demonstration file)\n";
  return 2;
}

int write_out(const std::string& path, const std::vector<uint8_t>& bytes) {
  try {
    tlm::write_file(path, bytes);
  } catch (const std::exception& e) {
    std::cerr << "tlmbuild: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--sample") return write_out(args[1], tlm::sample_tlm());
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') return usage();

  tlm::Builder builder;
  std::string line;
  size_t line_no = 0;
  while (std::getline(std::cin, line)) {
    ++line_no;
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
      if (w[0] == '#') break;
      words.push_back(w);
    }
    if (words.empty()) continue;
    try {
      if (words[0] == "pkt") {
        parse_pkt(words, builder);
      } else if (words[0] == "raw") {
        std::string digits;
        for (size_t i = 1; i < words.size(); ++i) digits += words[i];
        builder.raw(parse_hex("raw", digits));
      } else {
        throw DescriptionError("unknown directive '" + words[0] + "'");
      }
    } catch (const DescriptionError& e) {
      std::cerr << "tlmbuild: line " << line_no << ": " << e.what() << "\n";
      return 2;
    }
  }
  if (std::cin.bad()) {
    std::cerr << "tlmbuild: error reading standard input\n";
    return 2;
  }
  return write_out(args[0], builder.bytes());
}
