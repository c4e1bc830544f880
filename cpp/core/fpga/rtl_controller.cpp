#include "core/fpga/rtl_controller.hpp"

#include "core/fpga/snn_code.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::rtl {
namespace {

// The texts of the controllers, with «placeholders» that text::fill replaces.

constexpr std::string_view sequential_controller = R"v(
  // --- The controller: the units one after the other, in the execution order --------------
  localparam [«operation_w»-1:0] OPERATIONS = «operation_w»'d«operations»;
  // Steps since the last clear, counted up to SETTLED: until then some nodes have no value.
  localparam [«steps_w»-1:0] SETTLED = «steps_w»'d«settled»;
  reg running, launched;
  reg [«operation_w»-1:0] operation;
  reg [«steps_w»-1:0] steps;
  reg enabled, unit_done;
  reg [«layer_w»-1:0] lif_layer;
  wire launch = running && operation != OPERATIONS && enabled && !launched;
  wire clearing = !running && start && clear;
  assign busy = running;
  assign in_ready = !running;

  always @* begin
    enabled = 1'b0;
    unit_done = 1'b0;
    if (running)
      case (operation)
«operation_cases»        default: ;
      endcase
  end
  // the LIF layer the engine computes: apart from unit_done, which follows from it
  always @* begin
    lif_layer = «layer_w»'d0;
    if (running)
      case (operation)
«lif_layer_cases»        default: ;
      endcase
  end

  always @(posedge clk) begin
    done <= 1'b0;
    if (rst) begin
      running <= 1'b0;
      launched <= 1'b0;
      operation <= «operation_w»'d0;
      steps <= «steps_w»'d0;
    end else if (!running) begin
      if (start) begin
        running <= 1'b1;
        operation <= «operation_w»'d0;
        if (clear) steps <= «steps_w»'d0;
      end
    end else if (operation == OPERATIONS) begin
      running <= 1'b0;
      done <= 1'b1;
      if (steps != SETTLED) steps <= steps + 1'b1;
    end else if (!enabled) begin
      operation <= operation + 1'b1;
    end else if (!launched) begin
      launched <= 1'b1;
    end else if (unit_done) begin
      launched <= 1'b0;
      operation <= operation + 1'b1;
    end
  end
)v";

constexpr std::string_view operation_case = R"v(        «operation_w»'d«index»: begin  // «node»
          enabled = «enabled»;
          unit_done = «unit»_done;
        end
)v";

constexpr std::string_view lif_layer_case =
    "        «operation_w»'d«index»: lif_layer = «layer_w»'d«number»;  // «node»\n";

constexpr std::string_view overlapped_controller = R"v(
  // --- The controller: each unit runs a step as soon as the memories it reads hold the
  // step's values and the units reading its own memory are through with the step before.
  // The LIF layers take the engine, and the readers of a memory its read port, one at a time
  // (the earliest in the execution order first).  The host's start takes a step's stimulus
  // while in_ready (with clear, only while idle too); a step is complete when every unit has
  // run it. -----------------------------------------------------------------------------------
  // Steps completed since the last clear, counted up to SETTLED.
  localparam [«steps_w»-1:0] SETTLED = «steps_w»'d«settled»;
  reg [«steps_w»-1:0] steps;
  reg [«layer_w»-1:0] lif_layer;
  wire in_taken = start && in_ready && (!clear || !busy);
  wire clearing = in_taken && clear;
  wire step_complete;
«declarations»«inputs»«stages»
  assign step_complete = «complete»;
  assign in_ready = «in_ready»;
  assign busy = «busy»;
  always @(posedge clk) begin
    done <= !rst && step_complete;
    if (rst || clearing) steps <= «steps_w»'d0;
    else if (step_complete && steps != SETTLED) steps <= steps + 1'b1;
«lif_layers»  end
)v";

constexpr std::string_view stage_declaration =
    R"v(  // «node»: running, chosen to start (its unit starting a cycle later, from registers, for
  // the clock), its unit's done, and the steps it completed past the last complete step
  reg running«k», starting«k»;
  wire launch«k», finished«k»;
  reg [«ahead_w»-1:0] ahead«k»;
)v";

constexpr std::string_view filled_declaration =
    "  reg filled«k»_«m»;  // «node»'s value of a step that «reader» has yet to finish\n";

constexpr std::string_view pending_declaration =
    "  reg [1:0] input«p»_pending«k»;  // steps of input «p» that «reader» has yet to finish\n"
    "  reg input«p»_bank«k»;  // the bank it reads\n";

constexpr std::string_view input_logic = R"v(
  // input «p» («node»): the bank the host writes
  reg input«p»_bank;
  always @(posedge clk)
    if (rst) input«p»_bank <= 1'b0;
    else if (in_taken) input«p»_bank <= !input«p»_bank;
)v";

constexpr std::string_view pending_logic = R"v(  always @(posedge clk)
    if (rst) begin
      input«p»_pending«k» <= 2'd0;
      input«p»_bank«k» <= 1'b0;
    end else begin
      input«p»_pending«k» <= input«p»_pending«k» + {1'b0, in_taken} - {1'b0, finished«k»};
      if (finished«k») input«p»_bank«k» <= !input«p»_bank«k»;
    end
)v";

constexpr std::string_view stage_logic = R"v(
  // «node»
  assign finished«k» = «unit_done»;
  assign launch«k» = !running«k»«conditions»;
  always @(posedge clk)
    if (rst) begin
      running«k» <= 1'b0;
      starting«k» <= 1'b0;
      ahead«k» <= «ahead_w»'d0;
«filled_resets»    end else begin
      running«k» <= launch«k» || running«k» && !finished«k»;
      starting«k» <= launch«k»;
      ahead«k» <= ahead«k» + {«ahead_pad»'d0, finished«k»} - {«ahead_pad»'d0, step_complete};
«filled_updates»    end
)v";

constexpr std::string_view filled_reset = "      filled«k»_«m» <= 1'b0;\n";

constexpr std::string_view filled_update =
    "      if (finished«k») filled«k»_«m» <= 1'b1;\n"
    "      else if (finished«m») filled«k»_«m» <= 1'b0;\n";

constexpr std::string_view lif_layer_update =
    "    if (launch«k») lif_layer <= «layer_w»'d«number»;  // «node»\n";

std::string number(auto n) {
  return std::to_string(n);
}

// `terms` joined by `glue`, or `none` when there are none.
std::string joined(const std::vector<std::string>& terms, const std::string& glue,
                   const std::string& none) {
  if (terms.empty()) return none;
  std::string out;
  for (const std::string& t : terms) out += (out.empty() ? "" : glue) + t;
  return out;
}

}  // namespace

std::string unit_name(const Design& design, const Operation& op) {
  switch (op.kind) {
    case UnitKind::dense:
      return "dense" + number(design.dense[op.index].node);
    case UnitKind::lif:
      return "lif";
    case UnitKind::copy:
      break;
  }
  return "copy" + number(design.copies[op.index].node);
}

Controller::Controller(const snn::Network& network, const Design& design, int layer_w, int steps_w)
    : net_(network),
      d_(design),
      stages_(design.schedule == Schedule::overlapped ? stages_of(design) : std::vector<Stage>{}),
      layer_w_(layer_w),
      steps_w_(steps_w),
      operation_w_(bits_for(design.operations.size())) {}

std::string Controller::text() const {
  return d_.schedule == Schedule::overlapped ? overlapped_text() : sequential_text();
}

std::string Controller::start(std::size_t k) const {
  if (d_.schedule == Schedule::overlapped) return "starting" + number(k);
  return "launch && operation == " + number(operation_w_) + "'d" + number(k);
}

std::string Controller::lif_start() const {
  std::vector<std::string> starts;
  for (std::size_t k = 0; k < d_.operations.size(); ++k)
    if (d_.operations[k].kind == UnitKind::lif)
      starts.push_back(d_.schedule == Schedule::overlapped
                           ? "starting" + number(k)
                           : "operation == " + number(operation_w_) + "'d" + number(k));
  const std::string any = joined(starts, " || ", "1'b0");
  return d_.schedule == Schedule::overlapped ? any : "launch && (" + any + ")";
}

std::string Controller::reading(std::size_t k) const {
  if (d_.schedule == Schedule::overlapped) return "running" + number(k);
  return "running && operation == " + number(operation_w_) + "'d" + number(k);
}

std::string Controller::reached(int step) const {
  if (step <= 1) return "1'b1";
  return "steps >= " + number(steps_w_) + "'d" + number(step - 1);
}

std::string Controller::written_bank(std::size_t port) const {
  return d_.schedule == Schedule::overlapped ? "input" + number(port) + "_bank" : "";
}

std::string Controller::read_bank(std::size_t port, std::size_t k) const {
  return d_.schedule == Schedule::overlapped ? "input" + number(port) + "_bank" + number(k) : "";
}

std::string Controller::last_bank(std::size_t port) const {
  return d_.schedule == Schedule::overlapped ? "!input" + number(port) + "_bank" : "";
}

std::string Controller::sequential_text() const {
  std::string cases, lif_cases;
  for (std::size_t k = 0; k < d_.operations.size(); ++k) {
    const Operation& op = d_.operations[k];
    const std::string node = snn::described(net_.nodes[node_of(d_, op)]);
    cases += text::fill(operation_case, {{"operation_w", number(operation_w_)},
                                         {"index", number(k)},
                                         {"node", node},
                                         {"enabled", reached(op.first_step)},
                                         {"unit", unit_name(d_, op)}});
    if (op.kind == UnitKind::lif)
      lif_cases += text::fill(lif_layer_case, {{"operation_w", number(operation_w_)},
                                               {"index", number(k)},
                                               {"layer_w", number(layer_w_)},
                                               {"number", number(d_.lif[op.index].number)},
                                               {"node", node}});
  }
  return text::fill(sequential_controller, {{"operation_w", number(operation_w_)},
                                            {"operations", number(d_.operations.size())},
                                            {"steps_w", number(steps_w_)},
                                            {"settled", number(d_.steps_to_settle)},
                                            {"layer_w", number(layer_w_)},
                                            {"operation_cases", cases},
                                            {"lif_layer_cases", lif_cases}});
}

std::string Controller::finished(std::size_t k) const {
  const Operation& op = d_.operations[k];
  if (op.kind == UnitKind::lif) return "lif_done && running" + number(k);
  return unit_name(d_, op) + "_done";
}

std::string Controller::overlapped_text() const {
  const int ahead_w = bits_for(d_.operations.size() + 2);
  std::string declarations, inputs, stages, lif_layers;
  std::vector<std::string> complete, ready, busy;
  for (std::size_t k = 0; k < stages_.size(); ++k) {
    const std::string node = snn::described(net_.nodes[node_of(d_, d_.operations[k])]);
    declarations += text::fill(stage_declaration,
                               {{"node", node}, {"k", number(k)}, {"ahead_w", number(ahead_w)}});
    for (std::size_t m : stages_[k].consumers) {
      declarations +=
          text::fill(filled_declaration,
                     {{"k", number(k)},
                      {"m", number(m)},
                      {"node", node},
                      {"reader", snn::described(net_.nodes[node_of(d_, d_.operations[m])])}});
      busy.push_back("filled" + number(k) + "_" + number(m));
    }
    complete.push_back("ahead" + number(k) + " != " + number(ahead_w) + "'d0");
    busy.push_back("running" + number(k));
    stages += stage_text(k);
    if (d_.operations[k].kind == UnitKind::lif)
      lif_layers +=
          text::fill(lif_layer_update, {{"k", number(k)},
                                        {"layer_w", number(layer_w_)},
                                        {"number", number(d_.lif[d_.operations[k].index].number)},
                                        {"node", node}});
  }
  for (std::size_t p = 0; p < d_.inputs.size(); ++p) {
    for (std::size_t k : input_readers(d_, stages_, p)) {
      const std::string pending = "input" + number(p) + "_pending" + number(k);
      declarations +=
          text::fill(pending_declaration,
                     {{"p", number(p)},
                      {"k", number(k)},
                      {"reader", snn::described(net_.nodes[node_of(d_, d_.operations[k])])}});
      ready.push_back("!" + pending + "[1]");
      busy.push_back(pending + " != 2'd0");
    }
    inputs += input_text(p);
  }
  return text::fill(overlapped_controller, {{"steps_w", number(steps_w_)},
                                            {"settled", number(d_.steps_to_settle)},
                                            {"layer_w", number(layer_w_)},
                                            {"declarations", declarations},
                                            {"inputs", inputs},
                                            {"stages", stages},
                                            {"complete", joined(complete, " && ", "1'b0")},
                                            {"in_ready", joined(ready, " && ", "1'b1")},
                                            {"busy", joined(busy, " || ", "1'b0")},
                                            {"lif_layers", lif_layers}});
}

std::string Controller::input_text(std::size_t p) const {
  std::string text = text::fill(
      input_logic, {{"p", number(p)}, {"node", snn::described(net_.nodes[d_.inputs[p].node])}});
  for (std::size_t k : input_readers(d_, stages_, p))
    text += text::fill(pending_logic, {{"p", number(p)}, {"k", number(k)}});
  return text;
}

std::string Controller::stage_text(std::size_t k) const {
  const Stage& stage = stages_[k];
  const std::string K = number(k);
  std::string conditions, resets, updates;
  for (std::size_t p : stage.producers) conditions += " && filled" + number(p) + "_" + K;
  for (std::size_t port : stage.input_ports)
    conditions += " && input" + number(port) + "_pending" + K + " != 2'd0";
  for (std::size_t m : stage.consumers) {
    conditions += " && !filled" + K + "_" + number(m);
    resets += text::fill(filled_reset, {{"k", K}, {"m", number(m)}});
    updates += text::fill(filled_update, {{"k", K}, {"m", number(m)}});
  }
  for (std::size_t j : stage.conflicts)
    conditions += " && !running" + number(j) + (j < k ? " && !launch" + number(j) : "");
  const int ahead_w = bits_for(d_.operations.size() + 2);
  return text::fill(stage_logic,
                    {{"node", snn::described(net_.nodes[node_of(d_, d_.operations[k])])},
                     {"k", K},
                     {"unit_done", finished(k)},
                     {"conditions", conditions},
                     {"ahead_w", number(ahead_w)},
                     {"ahead_pad", number(ahead_w - 1)},
                     {"filled_resets", resets},
                     {"filled_updates", updates}});
}

}  // namespace zelka::fpga::rtl
