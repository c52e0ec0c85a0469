#include "overlapped.h"

#include <algorithm>

namespace nqtimeline {
namespace {

// More calls pending than this means completions are not coming: the
// oldest is let go.
constexpr std::size_t kMaxPending = 4096;

}  // namespace

void Overlapped::Pending(std::uint32_t pid, std::int64_t socket,
                         std::string_view function,
                         const nqtrace::CallArgs &args, const SliceRef &slice) {
  if (calls_.size() >= kMaxPending) {
    const auto oldest = calls_.begin();
    std::vector<std::uint64_t> &orders = keys_[oldest->second.key];
    orders.erase(std::find(orders.begin(), orders.end(), oldest->first));
    if (orders.empty()) keys_.erase(oldest->second.key);
    calls_.erase(oldest);
  }
  Call call{Key{pid, socket, std::string(function)}, {}, slice};
  for (std::size_t i = 0; i < args.count; ++i)
    if (args.items[i].substr(0, 2) == "0x" && args.items[i] != "0x0")
      call.pointers.emplace_back(args.items[i]);
  const std::uint64_t order = next_order_++;
  keys_[call.key].push_back(order);
  calls_.emplace(order, std::move(call));
}

void Overlapped::Completed(std::uint32_t pid, std::int64_t socket,
                           std::string_view operation,
                           std::string_view overlapped, const SliceRef &slice) {
  const auto key = keys_.find(Key{pid, socket, std::string(operation)});
  if (key == keys_.end()) return;
  std::vector<std::uint64_t> &orders = key->second;
  for (auto order = orders.begin(); order != orders.end(); ++order) {
    const Call &call = calls_[*order];
    if (std::find(call.pointers.begin(), call.pointers.end(), overlapped) ==
        call.pointers.end())
      continue;
    events_.Flow("overlapped", next_flow_++, call.slice, slice);
    ++flows_;
    calls_.erase(*order);
    orders.erase(order);
    if (orders.empty()) keys_.erase(key);
    return;
  }
}

}  // namespace nqtimeline
