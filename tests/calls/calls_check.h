// Holds a C declaration to the one list of calls (netquill_calls.h): a
// function that is missing, renamed or takes another number of arguments
// than the list's byte count says fails to compile.
#ifndef NQ_TESTS_CALLS_CHECK_H
#define NQ_TESTS_CALLS_CHECK_H

#include <cstddef>
#include <type_traits>
#include <utility>

namespace nqcalls {

// Stands for an argument of any type.
struct Any {
  template <typename T>
  operator T() const;
};

template <std::size_t>
using AnyAt = Any;

template <typename F, typename Seq, typename = void>
struct Takes : std::false_type {};

template <typename F, std::size_t... I>
struct Takes<F, std::index_sequence<I...>,
             std::void_t<decltype(std::declval<F>()(AnyAt<I>{}...))>>
    : std::true_type {};

// True when a function of type F is called with exactly bytes / 4
// arguments, each a 32-bit stack slot on 32-bit x86.
template <std::size_t bytes, typename F>
constexpr bool kTakesBytes =
    bytes % 4 == 0 && Takes<F, std::make_index_sequence<bytes / 4>>::value &&
    !Takes<F, std::make_index_sequence<bytes / 4 + 1>>::value;

}  // namespace nqcalls

// X-macro bodies: a hook takes the result besides the call's arguments.
#define NQ_CHECK_HOOK(name, ordinal, bytes)                              \
  static_assert(nqcalls::kTakesBytes<bytes + 4, decltype(&::TX_##name)>, \
                "TX_" #name " disagrees with netquill_calls.h");
#define NQ_CHECK_EXPORT(name, ordinal, bytes)                   \
  static_assert(nqcalls::kTakesBytes<bytes, decltype(&::name)>, \
                #name " disagrees with netquill_calls.h");
#define NQ_CHECK_WRAP(name, ordinal, bytes)                          \
  static_assert(nqcalls::kTakesBytes<bytes, decltype(&::nq_##name)>, \
                "nq_" #name " disagrees with netquill_calls.h");

#endif  // NQ_TESTS_CALLS_CHECK_H
