// A LIF node's reset rule and firing comparison, read from its `reset` and `fire` fields.
#pragma once

#include "core/rules/lif_rule.hpp"
#include "host/python.hpp"

namespace zelka::host {

struct LifSettings {
  rules::LifReset reset = rules::LifReset::to_leak;
  rules::LifFire fire = rules::LifFire::at_or_above;
};

// The settings of LIF node `name`; a node without the fields (one unpickled from a graph made
// before they existed) has the defaults.  ValueError naming the node and the names it takes
// for a value that is not one of them.
LifSettings lif_settings(nb::handle node, nb::handle name);

// The FPGA projects build the neuron that resets to v_leak and fires at or above threshold:
// ValueError naming the node and the setting for a LIF node with another.
void require_built_lif_rule(nb::handle node, nb::handle name);

}  // namespace zelka::host
