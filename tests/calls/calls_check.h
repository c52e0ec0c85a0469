// Holds C declarations to the one list of calls (netquill_calls.h): a
// function missing, renamed or taking other than bytes / 4 arguments (each
// a 4-byte stack slot on 32-bit x86) fails to compile.
#ifndef NQ_TESTS_CALLS_CHECK_H
#define NQ_TESTS_CALLS_CHECK_H

#include <cstddef>
#include <type_traits>
#include <utility>

namespace nqcalls {

struct Any {  // an argument of any type
  template <typename T>
  operator T() const;
};

template <typename F, typename Seq, typename = void>
struct Takes : std::false_type {};
template <typename F, std::size_t... I>
struct Takes<F, std::index_sequence<I...>,
             std::void_t<decltype(std::declval<F>()((I, Any{})...))>>
    : std::true_type {};

template <std::size_t bytes, typename F>
constexpr bool kTakesBytes =
    bytes % 4 == 0 && Takes<F, std::make_index_sequence<bytes / 4>>::value;

template <typename F>
struct TakesResultFirst : std::false_type {};
template <typename R, typename... A>
struct TakesResultFirst<R(R, A...)> : std::true_type {};

}  // namespace nqcalls

// A hook takes the result besides the call's own arguments.
#define NQ_CHECK_HOOK(name, ordinal, bytes, ...)                         \
  static_assert(nqcalls::kTakesBytes<bytes + 4, decltype(&::TX_##name)>, \
                "TX_" #name);
#define NQ_CHECK_EXPORT(name, ordinal, bytes, ...) \
  static_assert(nqcalls::kTakesBytes<bytes, decltype(&::name)>, #name);
#define NQ_CHECK_WRAP(name, ordinal, bytes, ...)                     \
  static_assert(nqcalls::kTakesBytes<bytes, decltype(&::nq_##name)>, \
                "nq_" #name);
// A POSIX entry takes the result first, then the call's own arguments.
#define NQ_CHECK_POSIX(name, data)                                        \
  static_assert(nqcalls::TakesResultFirst<decltype(::NQX_##name)>::value, \
                "NQX_" #name);

#endif  // NQ_TESTS_CALLS_CHECK_H
