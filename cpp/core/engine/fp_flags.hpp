// Floating-point status flags and what numpy reports of them.
#pragma once

#include <cfenv>

namespace zelka::engine {

// Discards the status flags raised inside its scope, keeping those raised before it.
// Wraps the passes whose conditions numpy never reports: clipping and comparing NaN
// raise the invalid-operation flag in vector code, where numpy's clip and comparisons
// stay silent.
class UnreportedFlags {
 public:
  UnreportedFlags() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
  ~UnreportedFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
  UnreportedFlags(const UnreportedFlags&) = delete;
  UnreportedFlags& operator=(const UnreportedFlags&) = delete;

 private:
  std::fexcept_t saved_;
};

}  // namespace zelka::engine
