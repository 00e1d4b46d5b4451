// FunctionRef: a non-owning reference to a callable, cheaper than
// std::function for per-slot predicates.
#pragma once

#include <type_traits>
#include <utility>

namespace hovra {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
  FunctionRef(F&& f) : obj_(const_cast<void*>(static_cast<const void*>(&f))) {
    call_ = [](void* o, Args... a) -> R {
      return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
    };
  }
  R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

 private:
  void* obj_;
  R (*call_)(void*, Args...);
};

}  // namespace hovra
