// The SNN HLS project's generated code for small networks built as core structures: the
// constants in the layout of the strategy's kernel, a recurrent network's step rules in the
// top function, and the test bench's sizes.
#include <doctest/doctest.h>

#include <algorithm>
#include <string>

#include "core/fpga/snn_firmware.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "networks.hpp"

using namespace zelka::testing;

namespace {

const std::string& file(const snn::ProjectFiles& files, const std::string& path) {
  for (const auto& [name, text] : files)
    if (name == path) return text;
  FAIL("no file " << path);
  static const std::string none;
  return none;
}

snn::Network two_by_three(snn::Strategy strategy) {
  return network_of({input_node("x", {1, 0.5, 0.25}),
                     dense_node("fc", 1, {0}, {{1, 2, 3}, {4, 5, 6}}, {0.5, -0.5}),
                     lif_node("lif", 2, {1}, 2), output_node("y", {2})},
                    strategy);
}

}  // namespace

TEST_CASE("a dense layer's weights are laid out for its strategy's kernel") {
  SUBCASE("latency: input-major") {
    const snn::Network net = two_by_three(snn::Strategy::latency);
    const auto files = snn::firmware_files(net, snn::plan_network(net), "prj");
    CHECK(file(files, "firmware/weights/w1.h")
              .find("w1[6] = {\n    1.0, 4.0, 2.0, 5.0, 3.0, 6.0\n};") != std::string::npos);
    CHECK(file(files, "firmware/layer_configs.h").find("dense_adapter<config1, nnet::latency>") !=
          std::string::npos);
  }
  SUBCASE("resource: output-major, as stored") {
    const snn::Network net = two_by_three(snn::Strategy::resource);
    const auto files = snn::firmware_files(net, snn::plan_network(net), "prj");
    CHECK(file(files, "firmware/weights/w1.h")
              .find("w1[6] = {\n    1.0, 2.0, 3.0, 4.0, 5.0, 6.0\n};") != std::string::npos);
  }
  const snn::Network net = two_by_three(snn::Strategy::latency);
  const auto files = snn::firmware_files(net, snn::plan_network(net), "prj");
  CHECK(file(files, "firmware/weights/b1.h").find("b1[2] = {\n    0.5, -0.5\n};") !=
        std::string::npos);
}

TEST_CASE("constants are written eight to a line") {
  snn::Network net = network_of({input_node("x", std::vector<double>(9, 0.0)),
                                 dense_node("fc", 1, {0}, {std::vector<double>(9, 0.25)}, {0}),
                                 output_node("y", {1})});
  const auto files = snn::firmware_files(net, snn::plan_network(net), "prj");
  CHECK(file(files, "firmware/weights/w1.h")
            .find("w1[9] = {\n    0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25,\n    0.25\n};") !=
        std::string::npos);
}

TEST_CASE("a recurrent network's top function adds the back edge from the second step on") {
  const snn::Network net = recurrent_network();
  const snn::Plan plan = snn::plan_network(net);
  CHECK(plan.steps_to_settle == 2);
  const auto files = snn::firmware_files(net, plan, "prj");
  const std::string& top = file(files, "firmware/prj.cpp");
  const std::string& header = file(files, "firmware/prj.h");
  const std::string& defines = file(files, "firmware/defines.h");
  // The LIF layer's spikes outlive the call that computes them; the dense layer sums its two
  // reads into a buffer of the sum type, the back edge's only after the first step.
  CHECK(top.find("static spike_t layer2_value[3];") != std::string::npos);
  CHECK(top.find("if (steps_since_reset >= 1) layer1_inputs[i] += layer2_value[i];") !=
        std::string::npos);
  CHECK(top.find("if (steps_since_reset < 1) steps_since_reset++;") != std::string::npos);
  CHECK(defines.find("typedef ap_fixed<17,7> layer1_sum_t;  // fc") != std::string::npos);
  CHECK(header.find("void prj(input_t x_in[3], spike_t y_out[3], bool reset);") !=
        std::string::npos);
  // Every '{' of the generated C++ is closed.
  for (const auto& [name, text] : files) {
    CAPTURE(name);
    CHECK(std::count(text.begin(), text.end(), '{') == std::count(text.begin(), text.end(), '}'));
  }
}

TEST_CASE("the test bench is sized for the network's layers and ports") {
  const snn::Network net = recurrent_network();
  const snn::Plan plan = snn::plan_network(net);
  const snn::ReferenceSpikes spikes = {{0, 1, 0, 1, 1, 0}};  // two steps of three neurons
  const auto files = snn::testbench_files(net, plan, "prj", {spikes, 2, "digest"});
  const std::string& bench = file(files, "prj_tb.cpp");
  CHECK(bench.find("const unsigned layer_neurons[layers] = {3};") != std::string::npos);
  CHECK(bench.find("const unsigned line_size = 1026;") != std::string::npos);
  CHECK(bench.find("  input_t x_in[3];\n  spike_t y_out[3];\n") != std::string::npos);
  CHECK(bench.find("prj(x_in, y_out, t == 0);") != std::string::npos);
  const std::string& reference = file(files, "tb_data/reference_spikes.dat");
  CHECK(reference.find("010\n110\n") != std::string::npos);
}
