// Per-node compute times of a profiled run, in the order the nodes were first timed.
#pragma once

#include <cstdint>
#include <vector>

#include "host/python.hpp"

namespace zelka::host::simulation {

class NodeTimes {
 public:
  void add(nb::handle name, std::int64_t nanoseconds);

  // {name: nanoseconds / 1000.0}, in first-timed order.
  nb::dict microseconds() const;

 private:
  nb::dict index_;  // name -> position in names_ and ns_
  std::vector<nb::object> names_;
  std::vector<std::int64_t> ns_;
};

}  // namespace zelka::host::simulation
