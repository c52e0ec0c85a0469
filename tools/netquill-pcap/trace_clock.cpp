#include "trace_clock.h"

#include <algorithm>

namespace nqpcap {

TraceClock::ModuleSecond &TraceClock::Module(std::string_view module) {
  auto it = modules_.find(module);
  if (it == modules_.end())
    it = modules_.emplace(std::string(module), ModuleSecond{}).first;
  return it->second;
}

std::uint64_t TraceClock::LineTime(std::string_view module,
                                   std::uint32_t hhmmss,
                                   std::uint64_t elapsed_ms) {
  const std::uint64_t second_us = calendar_.SecondUs(hhmmss);
  ModuleSecond &m = Module(module);
  if (m.second != hhmmss) {
    // The first line of a second starts it; its elapsed time mostly lies
    // in the seconds before.
    m.second = hhmmss;
    m.ms = 0;
  } else {
    m.ms = std::min<std::uint64_t>(
        m.ms + std::min<std::uint64_t>(elapsed_ms, 999), 999);
  }
  return second_us + m.ms * 1000;
}

std::uint64_t TraceClock::ExactLineTime(std::string_view module,
                                        std::uint32_t hhmmss,
                                        std::uint32_t micros) {
  const std::uint64_t second_us = calendar_.SecondUs(hhmmss);
  ModuleSecond &m = Module(module);
  m.second = hhmmss;
  m.ms = micros / 1000;
  return second_us + micros;
}

}  // namespace nqpcap
