#include "pcapng_reader.h"

#include <cstdio>
#include <map>
#include <utility>

namespace nqpcaptest {
namespace {

std::uint32_t Le32(const std::string &b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1]))
             << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2]))
             << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3]))
             << 24;
}

std::uint16_t Le16(const std::string &b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint32_t Be(const std::string &b, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i)
    v = v << 8 |
        static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

std::uint32_t Checksum(const std::string &b, std::size_t at, std::size_t len,
                       std::uint32_t sum) {
  for (std::size_t i = 0; i + 1 < len; i += 2) sum += Be(b, at + i, 2);
  if (len % 2)
    sum +=
        static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + len - 1]))
        << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

bool ReadPacket(const std::string &p, Frame &f) {
  f.v6 = p.size() >= 40 && (static_cast<unsigned char>(p[0]) >> 4) == 6;
  if (!f.v6 && (p.size() < 20 || (static_cast<unsigned char>(p[0]) >> 4) != 4))
    return false;
  const std::size_t ihl =
      f.v6 ? 40 : (static_cast<unsigned char>(p[0]) & 15) * 4u;
  const std::size_t total = f.v6 ? 40 + Be(p, 4, 2) : Be(p, 2, 2);
  if (total != p.size() || ihl < 20) return false;
  f.proto = static_cast<std::uint8_t>(p[f.v6 ? 6 : 9]);
  // IPv6: the address's last 32 bits here, all of it in src6/dst6.
  f.src_ip = Be(p, f.v6 ? 20 : 12, 4);
  f.dst_ip = Be(p, f.v6 ? 36 : 16, 4);
  if (f.v6) f.src6 = p.substr(8, 16), f.dst6 = p.substr(24, 16);
  bool ok = f.v6 || Checksum(p, 0, ihl, 0) == 0xFFFF;
  const std::size_t l4 = total - ihl;
  const std::uint32_t pseudo =
      (f.v6 ? Checksum(p, 8, 32, 0)
            : (f.src_ip >> 16) + (f.src_ip & 0xFFFF) + (f.dst_ip >> 16) +
                  (f.dst_ip & 0xFFFF)) +
      f.proto + static_cast<std::uint32_t>(l4);
  if (f.proto == 6) {
    if (l4 < 20) return false;
    f.src_port = static_cast<std::uint16_t>(Be(p, ihl, 2));
    f.dst_port = static_cast<std::uint16_t>(Be(p, ihl + 2, 2));
    f.seq = Be(p, ihl + 4, 4);
    f.ack = Be(p, ihl + 8, 4);
    const std::size_t off = (static_cast<unsigned char>(p[ihl + 12]) >> 4) * 4u;
    f.flags = static_cast<std::uint8_t>(p[ihl + 13]);
    f.payload = p.substr(ihl + off);
  } else if (f.proto == 17) {
    if (l4 < 8 || Be(p, ihl + 4, 2) != l4) return false;
    f.src_port = static_cast<std::uint16_t>(Be(p, ihl, 2));
    f.dst_port = static_cast<std::uint16_t>(Be(p, ihl + 2, 2));
    f.payload = p.substr(ihl + 8);
  } else {
    return false;
  }
  f.checksums_ok = ok && Checksum(p, ihl, l4, pseudo) == 0xFFFF;
  return true;
}

std::string Ip(std::uint32_t ip) {
  return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "." +
         std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255);
}

// "[2001:db8:0:0:0:0:0:1]": every group in hex.
std::string Ip6(const std::string &bytes) {
  std::string s;
  char group[8];
  for (int i = 0; i < 16; i += 2) {
    std::snprintf(group, sizeof group, "%x",
                  static_cast<unsigned char>(bytes[i]) << 8 |
                      static_cast<unsigned char>(bytes[i + 1]));
    s += (i == 0 ? "[" : ":") + std::string(group);
  }
  return s + "]";
}

}  // namespace

Capture ReadCapture(const std::string &b) {
  Capture c;
  std::size_t at = 0;
  bool section = false, interface = false;
  while (at < b.size()) {
    if (b.size() - at < 12) {
      c.error = "cut block at " + std::to_string(at);
      return c;
    }
    const std::uint32_t type = Le32(b, at);
    const std::uint32_t len = Le32(b, at + 4);
    if (len < 12 || len % 4 != 0 || len > b.size() - at ||
        Le32(b, at + len - 4) != len) {
      c.error = "bad block length at " + std::to_string(at);
      return c;
    }
    if (type == 0x0A0D0D0A) {
      section = Le32(b, at + 8) == 0x1A2B3C4D;
    } else if (type == 1) {
      c.link_type = Le16(b, at + 8);
      interface = true;
    } else if (type == 0x80000001) {
      std::string name;
      for (std::size_t o = at + 12; o + 4 <= at + len - 4;) {
        const std::uint16_t code = Le16(b, o), olen = Le16(b, o + 2);
        if (code == 0) break;
        if (code == 2) name = b.substr(o + 4, olen);
        o += 4 + (olen + 3u) / 4 * 4;
      }
      c.processes.push_back(std::to_string(Le32(b, at + 8)) + " " + name);
    } else if (type == 6) {
      if (!section || !interface) {
        c.error = "packet before the section or interface";
        return c;
      }
      Frame f;
      f.time_us = std::uint64_t{Le32(b, at + 12)} << 32 | Le32(b, at + 16);
      const std::uint32_t caplen = Le32(b, at + 20);
      const std::uint32_t origlen = Le32(b, at + 24);
      const std::size_t data = at + 28;
      const std::size_t opts = data + (caplen + 3) / 4 * 4;
      if (caplen != origlen || opts > at + len - 4) {
        c.error = "bad packet block at " + std::to_string(at);
        return c;
      }
      if (!ReadPacket(b.substr(data, caplen), f)) {
        c.error = "bad packet at " + std::to_string(at);
        return c;
      }
      for (std::size_t o = opts; o + 4 <= at + len - 4;) {
        const std::uint16_t code = Le16(b, o);
        const std::uint16_t olen = Le16(b, o + 2);
        if (code == 0) break;
        if (code == 1) f.comment = b.substr(o + 4, olen);
        if (code == 8) {
          // Process and thread id: exactly two 32-bit numbers, once.
          if (olen != 8 || f.has_ids || o + 12 > at + len - 4) {
            c.error = "bad process and thread option at " + std::to_string(o);
            return c;
          }
          f.has_ids = true;
          f.process = Le32(b, o + 4);
          f.thread = Le32(b, o + 8);
        }
        if (code == 0x8001) {
          // The index of a process description written before.
          f.description = static_cast<long>(Le32(b, o + 4));
          if (olen != 4 ||
              f.description >= static_cast<long>(c.processes.size())) {
            c.error = "bad process description index at " + std::to_string(o);
            return c;
          }
          f.described = c.processes[static_cast<std::size_t>(f.description)];
        }
        o += 4 + (olen + 3u) / 4 * 4;
      }
      c.frames.push_back(std::move(f));
    }
    at += len;
  }
  c.ok = section && interface;
  if (!c.ok) c.error = "no section or interface block";
  return c;
}

std::string FlagText(std::uint8_t flags) {
  std::string s;
  const std::pair<std::uint8_t, const char *> names[] = {
      {0x02, "SYN"}, {0x01, "FIN"}, {0x08, "PSH"}, {0x10, "ACK"}};
  for (const auto &n : names)
    if (flags & n.first) s += std::string(s.empty() ? "" : ",") + n.second;
  return s;
}

std::vector<std::string> Describe(const Capture &capture) {
  // Each direction's first sequence number, from its SYN.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> isn;
  std::vector<std::string> lines;
  for (const Frame &f : capture.frames) {
    std::string s = (f.v6 ? Ip6(f.src6) : Ip(f.src_ip)) + ":" +
                    std::to_string(f.src_port) + " > " +
                    (f.v6 ? Ip6(f.dst6) : Ip(f.dst_ip)) + ":" +
                    std::to_string(f.dst_port);
    if (f.proto == 17) {
      lines.push_back("UDP " + s + " len " + std::to_string(f.payload.size()));
      continue;
    }
    const std::uint64_t src = std::uint64_t{f.src_ip} << 16 | f.src_port;
    const std::uint64_t dst = std::uint64_t{f.dst_ip} << 16 | f.dst_port;
    const auto me = std::make_pair(src, dst);
    const auto you = std::make_pair(dst, src);
    if (f.flags & 0x02) isn[me] = f.seq;
    s += " " + FlagText(f.flags) + " seq " + std::to_string(f.seq - isn[me]);
    if (f.flags & 0x10) s += " ack " + std::to_string(f.ack - isn[you]);
    s += " len " + std::to_string(f.payload.size());
    lines.push_back(s);
  }
  return lines;
}

}  // namespace nqpcaptest
