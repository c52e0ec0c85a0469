#include "record_writer.h"

#include "call_args.h"
#include "dump_line.h"
#include "lookup_line.h"
#include "tls_line.h"
#include "winsock_names.h"

namespace nqjson {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The lookups by name: their quoted arguments are names, where the other
// calls' quoted arguments are AF_UNIX addresses.
bool TakesNames(std::string_view call) {
  return call == "getaddrinfo" || call == "GetAddrInfoW" ||
         StartsWith(call, "WSAAsyncGet") ||
         (StartsWith(call, "get") && call.find("by") != std::string_view::npos);
}

const char *TagText(nqtrace::Tag tag) {
  switch (tag) {
    case nqtrace::Tag::Info:
      return "INF";
    case nqtrace::Tag::Error:
      return "ERR";
    case nqtrace::Tag::Warning:
      return "WRN";
  }
  return "?";
}

const char *KindText(nqtrace::LineKind kind) {
  switch (kind) {
    case nqtrace::LineKind::Call:
      return "call";
    case nqtrace::LineKind::TraceStart:
      return "start";
    case nqtrace::LineKind::TraceStop:
      return "stop";
    default:
      return "note";
  }
}

// An integer, or else the text as written.
void IntegerOrText(JsonOut &out, std::string_view text) {
  std::int64_t value = 0;
  if (nqtrace::ParseInteger(text, value))
    out.Int(value);
  else
    out.String(text);
}

void Address(JsonOut &out, const nqtrace::Address &a, std::string_view text) {
  using nqtrace::AddressForm;
  switch (a.form) {
    case AddressForm::Ipv4:
    case AddressForm::Ipv6: {
      const bool v6 = a.form == AddressForm::Ipv6;
      // The address as written: the tracer's own text, already checked.
      const std::size_t colon = text.rfind(':');
      std::string_view host = text.substr(0, colon);
      if (v6) {
        host = host.substr(1, host.size() - 2);
        host = host.substr(0, host.find('%'));
      }
      out.Key("family", true);
      out.Raw(v6 ? "\"AF_INET6\"" : "\"AF_INET\"");
      out.Key("address");
      out.String(host);
      out.Key("port");
      out.Int(a.port);
      if (v6 && text.find('%') != std::string_view::npos) {
        out.Key("scope");
        out.Int(a.scope);
      }
      break;
    }
    case AddressForm::Unix:
      out.Key("family", true);
      out.Raw("\"AF_UNIX\"");
      out.Key("path");
      out.String(nqtrace::Unescape(a.path));
      break;
    case AddressForm::Family:
      out.Key("family", true);
      out.Int(a.family);
      break;
    default:  // Short
      out.Key("length", true);
      out.Int(a.length);
      break;
  }
}

void Argument(JsonOut &out, std::string_view text, bool names) {
  if (names && text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    out.Raw('{');
    out.Key("name", true);
    out.String(nqtrace::Unescape(text.substr(1, text.size() - 2)));
    out.Raw('}');
    return;
  }
  const nqtrace::Address a = nqtrace::ParseAddress(text);
  if (a.form == nqtrace::AddressForm::Null) {
    out.Raw("null");
  } else if (a.form == nqtrace::AddressForm::Bad) {
    IntegerOrText(out, text);
  } else {
    out.Raw('{');
    Address(out, a, text);
    out.Raw('}');
  }
}

}  // namespace

void RecordWriter::CloseRecord() {
  if (in_dump_) out_.Raw('"');
  if (open_) out_.Raw("}\n");
  open_ = in_dump_ = false;
  dumped_ = 0;
  out_.MaybeFlush();
}

void RecordWriter::Damaged(std::string_view reason, std::string_view line) {
  CloseRecord();
  out_.Raw('{');
  out_.Key("line", true);
  out_.Int(static_cast<std::int64_t>(line_no_));
  out_.Key("type");
  out_.Raw("\"damaged\"");
  out_.Key("reason");
  out_.String(reason);
  out_.Key("text");
  out_.String(line);
  out_.Raw("}\n");
}

void RecordWriter::DumpLine(std::string_view line) {
  nqtrace::DumpLine d;
  const nqtrace::DumpFault fault = nqtrace::DecodeDumpLine(line, d);
  if (fault != nqtrace::DumpFault::None)
    return Damaged(nqtrace::DumpFaultText(fault), line);
  if (!open_ || d.offset != dumped_) {
    // A long dump goes out in pieces, and another thread's records may
    // land between them: a piece that does not go on is a record itself.
    if (d.offset == 0)
      return Damaged(
          open_ ? "dump offset out of sequence" : "dump line without a record",
          line);
    CloseRecord();
    out_.Raw('{');
    out_.Key("line", true);
    out_.Int(static_cast<std::int64_t>(line_no_));
    out_.Key("type");
    out_.Raw("\"dump\"");
    out_.Key("offset");
    out_.Int(d.offset);
    open_ = true;
    dumped_ = d.offset;
  }
  if (!in_dump_) {
    out_.Key("dump");
    out_.Raw('"');
    in_dump_ = true;
  }
  out_.Hex(d.bytes, d.count);
  dumped_ += d.count;
  out_.MaybeFlush();
}

// The last line of a cut dump: the record's "cut" field, after its dump.
void RecordWriter::CutLine(std::uint64_t cut, std::string_view line) {
  if (!open_) return Damaged("cut line without a record", line);
  if (in_dump_) out_.Raw('"');
  in_dump_ = false;
  out_.Key("cut");
  out_.Int(static_cast<std::int64_t>(cut));
  CloseRecord();
}

void RecordWriter::CallFields(const nqtrace::ParsedLine &p) {
  out_.Key("call");
  out_.String(p.function);
  out_.Key("args");
  out_.Raw('[');
  nqtrace::CallArgs args;
  const bool split = nqtrace::SplitArgs(p.args, args);
  bool labelled = false;
  if (split) {
    const bool names = TakesNames(p.function);
    for (std::size_t i = 0; i < args.count; ++i) {
      if (i > 0) out_.Raw(',');
      Argument(out_, args.items[i], names);
      labelled = labelled || !args.labels[i].empty();
    }
  } else {
    out_.String(p.args);  // more arguments than any call has: as written
  }
  out_.Raw(']');
  // What each socket argument is, beside its number, in the order of args.
  if (labelled) {
    out_.Key("arg_labels");
    out_.Raw('[');
    for (std::size_t i = 0; i < args.count; ++i) {
      if (i > 0) out_.Raw(',');
      if (args.labels[i].empty())
        out_.Raw("null");
      else
        out_.String(args.labels[i]);
    }
    out_.Raw(']');
  }
  out_.Key("result");
  IntegerOrText(out_, p.result);
  if (!p.result_label.empty()) {
    out_.Key("result_label");
    out_.String(p.result_label);
  }
  // A TLS call's plaintext, which its socket carries encrypted.
  const int plaintext = nqtrace::PlaintextDirection(p.function);
  if (plaintext == 0) return;
  out_.Key("plaintext");
  out_.Raw(plaintext > 0 ? "\"sent\"" : "\"received\"");
  std::uint64_t bytes = 0;
  if (!nqtrace::PlaintextCount(p, bytes)) return;
  out_.Key("bytes");
  out_.Int(static_cast<std::int64_t>(bytes));
}

void RecordWriter::TextRecord(const nqtrace::ParsedLine &p) {
  out_.Raw('{');
  out_.Key("line", true);
  out_.Int(static_cast<std::int64_t>(line_no_));
  out_.Key("type");
  out_.Raw('"');
  out_.Raw(KindText(p.kind));
  out_.Raw('"');
  out_.Key("module");
  out_.String(p.module);
  out_.Key("clock");
  char clock[6];
  for (int i = 5, v = static_cast<int>(p.clock); i >= 0; --i, v /= 10)
    clock[i] = static_cast<char>('0' + v % 10);
  out_.Raw('"');
  out_.Raw(std::string_view(clock, sizeof clock));
  out_.Raw('"');
  if (p.has_clock_us) {
    // The call's start: microseconds since the local midnight of its day.
    const std::int64_t seconds =
        p.clock / 10000 * 3600 + p.clock / 100 % 100 * 60 + p.clock % 100;
    out_.Key("start_us");
    out_.Int(seconds * 1000000 + p.clock_us);
  }
  out_.Key("elapsed");
  out_.Int(static_cast<std::int64_t>(p.elapsed_ms));
  out_.Key("tag");
  out_.Raw('"');
  out_.Raw(TagText(p.tag));
  out_.Raw('"');
  out_.Key("text");
  out_.String(p.text);
  if (p.kind == nqtrace::LineKind::Call) CallFields(p);
  std::string_view keylog;
  if (p.kind == nqtrace::LineKind::Other &&
      nqtrace::TlsKeyLog(p.text, keylog)) {
    out_.Key("tls_key");
    out_.String(keylog);
  }
  if (p.has_code) {
    out_.Key("code");
    // Signed, as the trace writes it: getaddrinfo's own codes are negative.
    out_.Int(static_cast<std::int32_t>(p.code));
    out_.Key("error");
    const char *name = nqtrace::ErrorName(p.code);
    if (name != nullptr)
      out_.String(name);
    else
      out_.Raw("null");
  }
  if (p.has_duration) {
    out_.Key("duration_us");
    out_.Int(static_cast<std::int64_t>(p.duration_us));
  }
  open_ = true;
}

void RecordWriter::Line(std::string_view line, bool overlong) {
  ++line_no_;
  if (overlong)
    return Damaged(nqtrace::FaultText(nqtrace::Fault::TooLong), line);
  const nqtrace::ParsedLine p = nqtrace::ParseLine(line);
  if (p.kind == nqtrace::LineKind::Dump) return DumpLine(line);
  if (p.kind == nqtrace::LineKind::DumpCut) return CutLine(p.cut, line);
  if (p.kind == nqtrace::LineKind::Malformed)
    return Damaged(nqtrace::FaultText(p.fault), line);
  CloseRecord();
  TextRecord(p);
}

}  // namespace nqjson
