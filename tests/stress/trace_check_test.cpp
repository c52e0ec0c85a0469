// The stress tests are only as good as their reader: a trace written by one
// tracer and one toggler passes it, and each kind of damage that a broken
// writer could do to the file is caught.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "netquill.h"
#include "platform/os.h"
#include "support/test_env.h"
#include "trace_check.h"
#include "workload.h"

using namespace nqstress;

namespace {

const char kModule[] = "NQ_STRESS_THREADS";
constexpr int kRounds = 20;
constexpr int kCycles = 3;

class TraceCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(nqtest::MakeScratchDir("trace-check"));
    std::string file = *dir_ + nq::kPathSeparator + "good.log";
    InstallErrorHooks(0);
    std::string why;
    ASSERT_EQ(RunTracer(5, kRounds, file, &why), 0) << why;
    ASSERT_EQ(RunToggler(2, kCycles, file, &why), 0) << why;
    std::vector<std::string> *lines = new std::vector<std::string>;
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
      lines->push_back(text.substr(at, end - at));
    }
    lines_ = lines;
  }

  static void TearDownTestSuite() {
    nqtest::RemoveTree(*dir_);
    delete dir_;
    delete lines_;
  }

  // Whether the reader or the owners' checks find fault with text.
  static std::string Verdict(const std::string &text) {
    std::string file = *dir_ + nq::kPathSeparator + "damaged.log";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    TraceReport report = ReadTrace(file, kModule);
    if (report.error_count > 0) return report.errors[0];
    std::string diff = CheckTracer(5, kRounds, report.records["tracer 5"]);
    if (diff.empty())
      diff = CheckToggler(2, kCycles, report.records["toggler 2"]);
    if (diff.empty() && report.records.size() != 2) diff = "extra owner";
    return diff;
  }

  static std::string Join(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &l : lines) text += l + "\r\n";
    return text;
  }

  // Index of the first line for which pick is true.
  static size_t Find(const std::function<bool(const std::string &)> &pick) {
    for (size_t i = 0; i < lines_->size(); ++i) {
      if (pick((*lines_)[i])) return i;
    }
    ADD_FAILURE() << "no such line";
    return 0;
  }

  static size_t SecondDumpLine() {
    return Find([](const std::string &l) {
      return l.compare(0, 23, std::string(18, ' ') + "0010 ") == 0;
    });
  }

  static std::string *dir_;
  static std::vector<std::string> *lines_;
};

std::string *TraceCheck::dir_;
std::vector<std::string> *TraceCheck::lines_;

TEST_F(TraceCheck, AnUndamagedTracePasses) {
  EXPECT_EQ(Verdict(Join(*lines_)), "");
}

TEST_F(TraceCheck, EachKindOfDamageIsCaught) {
  struct Damage {
    const char *what;
    std::function<void(std::vector<std::string> *)> apply;
  };
  const size_t dump2 = SecondDumpLine();
  const size_t connect = Find([](const std::string &l) {
    return l.find("connect(5, ") != std::string::npos;
  });
  const Damage damages[] = {
      {"a dump line lost", [&](auto *l) { l->erase(l->begin() + dump2); }},
      {"a text line doubled",
       [&](auto *l) { l->insert(l->begin() + connect, (*l)[connect]); }},
      {"two dump lines swapped",
       [&](auto *l) { std::swap((*l)[dump2], (*l)[dump2 - 1]); }},
      {"a record inside a dump",
       [&](auto *l) { std::swap((*l)[dump2], (*l)[dump2 - 2]); }},
      {"another owner's error code",
       [&](auto *l) {
         std::string &s = (*l)[connect];
         s.replace(s.find("[10105]"), 7, "[10106]");
       }},
      {"a record of a thread that does not trace",
       [&](auto *l) {
         std::string &s = (*l)[connect];
         s.replace(s.find("connect(5,"), 10, "connect(6,");
       }},
      {"a stop banner lost", [&](auto *l) { l->pop_back(); }},
      {"a lower-case hex digit",
       [&](auto *l) {
         std::string &s = (*l)[dump2];
         size_t at = s.find_first_of("ABCDEF", 24);
         s[at] = static_cast<char>(s[at] + 32);
       }},
      {"a character column that is not the bytes",
       [&](auto *l) { (*l)[dump2].back() ^= 1; }},
      {"a dump line indented one column more",
       [&](auto *l) { (*l)[dump2].insert(0, " "); }},
      {"a line without its module name",
       [&](auto *l) { (*l)[connect].erase(0, 1); }},
      {"a wrong tag",
       [&](auto *l) {
         std::string &s = (*l)[connect];
         s.replace(s.find("ERR: "), 5, "INF: ");
       }},
  };
  for (const Damage &d : damages) {
    std::vector<std::string> lines = *lines_;
    d.apply(&lines);
    EXPECT_NE(Verdict(Join(lines)), "") << d.what;
  }
  // Damage to the line structure itself.
  std::string text = Join(*lines_);
  std::string bare = text;
  bare.erase(bare.find("\r\n", text.size() / 2), 1);
  EXPECT_NE(Verdict(bare), "") << "a line feed without its carriage return";
  EXPECT_NE(Verdict(text.substr(0, text.size() - 1)), "") << "a cut last line";
  std::string torn = text;
  torn.insert(text.find("connect(5, "), "X\r\n");
  EXPECT_NE(Verdict(torn), "") << "a line broken in two";
}

}  // namespace
