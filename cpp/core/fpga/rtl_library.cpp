#include "core/fpga/rtl_library.hpp"

namespace zelka::fpga::rtl {
namespace {

// The modules every generated design instantiates, as they are written into rtl/: fixed
// Verilog-2005 text, parameterised by the widths and sizes the top module passes.

constexpr std::string_view fixed_convert_module =
    R"v(// A fixed-point value converted into another fixed-point type as an assignment between
// ap_fixed types converts it: quantised to the target's fractional bits by its quantisation
// mode, then brought into its range by its overflow mode.  The value is two's complement
// (IN_W bits, IN_F of them after the binary point); the result has OUT_W bits, OUT_F after
// the binary point, two's complement when OUT_SIGNED is 1 and unsigned otherwise.  IN_F and
// OUT_F may be negative or exceed the widths.
module zelka_fixed_convert #(
    parameter integer IN_W = 16,
    parameter integer IN_F = 8,
    parameter integer OUT_W = 16,
    parameter integer OUT_F = 8,
    parameter integer OUT_SIGNED = 1,
    // 0 AP_TRN, 1 AP_TRN_ZERO, 2 AP_RND, 3 AP_RND_ZERO, 4 AP_RND_MIN_INF, 5 AP_RND_INF,
    // 6 AP_RND_CONV
    parameter integer QUANTISATION = 0,
    // 0 AP_WRAP, 1 AP_SAT, 2 AP_SAT_ZERO, 3 AP_SAT_SYM (signed results: the lowest value too
    // becomes minus the highest)
    parameter integer OVERFLOW = 0
) (
    input  wire [ IN_W-1:0] value,
    output wire [OUT_W-1:0] converted
);
  localparam integer DROP = IN_F > OUT_F ? IN_F - OUT_F : 0;
  localparam integer GROW = OUT_F > IN_F ? OUT_F - IN_F : 0;
  // The quantised value in units of the result's last bit, and room above it for the range
  // checks.
  localparam integer Q_W = IN_W + GROW + 1;
  localparam integer C_W = (Q_W > OUT_W + 1 ? Q_W : OUT_W + 1) + 1;

  wire negative = value[IN_W-1];
  wire signed [Q_W-1:0] extended = {{(Q_W - IN_W) {negative}}, value};
  wire signed [Q_W-1:0] quantised;
  generate
    if (DROP == 0) begin : exact
      assign quantised = extended <<< GROW;
    end else begin : rounded
      wire signed [Q_W-1:0] floor = extended >>> DROP;
      // The bits dropped (the value's sign repeated where DROP exceeds its width).
      wire [DROP+IN_W-1:0] repeated = {{DROP{negative}}, value};
      wire [DROP-1:0] dropped = repeated[DROP-1:0];
      wire half = dropped[DROP-1];
      wire below_half;
      if (DROP == 1) begin : one_bit
        assign below_half = 1'b0;
      end else begin : bits
        assign below_half = |dropped[DROP-2:0];
      end
      wire above = half & below_half;
      wire tie = half & ~below_half;
      reg  up;
      always @* begin
        case (QUANTISATION)
          0: up = 1'b0;
          1: up = negative & (half | below_half);
          2: up = half;
          3: up = above | (tie & negative);
          4: up = above;
          5: up = above | (tie & ~negative);
          default: up = above | (tie & floor[0]);
        endcase
      end
      assign quantised = floor + {{(Q_W - 1) {1'b0}}, up};
    end
  endgenerate

  wire signed [C_W-1:0] wide = {{(C_W - Q_W) {quantised[Q_W-1]}}, quantised};
  wire too_high, too_low;
  generate
    if (OUT_SIGNED != 0) begin : signed_range
      // In range when every bit from the result's sign bit up equals it.
      wire [C_W-OUT_W:0] top = wide[C_W-1:OUT_W-1];
      assign too_high = ~wide[C_W-1] & (|top);
      assign too_low = wide[C_W-1] & ~(&top);
    end else begin : unsigned_range
      assign too_low = wide[C_W-1];
      assign too_high = ~wide[C_W-1] & (|wide[C_W-2:OUT_W]);
    end
  endgenerate
  wire [OUT_W-1:0] one = 1;
  wire [OUT_W-1:0] lowest = OUT_SIGNED != 0 ? one << (OUT_W - 1) : {OUT_W{1'b0}};
  wire symmetric = OVERFLOW == 3 && OUT_SIGNED != 0;
  wire at_lowest = symmetric && (too_low || (!too_high && wide[OUT_W-1:0] == lowest));
  assign converted = at_lowest ? lowest + one
                   : OVERFLOW == 0 || !(too_high || too_low) ? wide[OUT_W-1:0]
                   : OVERFLOW == 2 ? {OUT_W{1'b0}}
                   : too_high ? ~lowest : lowest;
endmodule
)v";

constexpr std::string_view memories_module =
    R"v(// A memory of DEPTH words, each LANES values of LANE_W bits.  One port writes the lanes its
// enables select; the other reads a whole word.  Both act on the clock's rising edge: the
// data read belongs to the address of the edge before, and a word written at that edge reads
// as it was before.
module zelka_ram #(
    parameter integer LANES  = 1,
    parameter integer LANE_W = 1,
    parameter integer DEPTH  = 1,
    parameter integer ADDR_W = 1
) (
    input  wire                    clk,
    input  wire [       LANES-1:0] write_lanes,
    input  wire [      ADDR_W-1:0] write_address,
    input  wire [LANES*LANE_W-1:0] write_data,
    input  wire [      ADDR_W-1:0] read_address,
    output reg  [LANES*LANE_W-1:0] read_data
);
  reg [LANES*LANE_W-1:0] words[0:DEPTH-1];
  integer lane;
  always @(posedge clk) begin
    for (lane = 0; lane < LANES; lane = lane + 1)
      if (write_lanes[lane])
        words[write_address][lane*LANE_W+:LANE_W] <= write_data[lane*LANE_W+:LANE_W];
    read_data <= words[read_address];
  end
endmodule

// A memory of DEPTH words of WIDTH bits read on the clock's rising edge, its contents loaded
// from FILE ($readmemh: a word a line in hexadecimal).
module zelka_rom #(
    parameter integer WIDTH = 1,
    parameter integer DEPTH = 1,
    parameter integer ADDR_W = 1,
    parameter FILE = ""
) (
    input  wire              clk,
    input  wire [ADDR_W-1:0] address,
    output reg  [ WIDTH-1:0] data
);
  reg [WIDTH-1:0] words[0:DEPTH-1];
  initial $readmemh(FILE, words);
  always @(posedge clk) data <= words[address];
endmodule
)v";

constexpr std::string_view align_module =
    R"v(// A word of LANES values of IN_W bits (two's complement when IN_SIGNED is 1, else unsigned)
// as two's complement values of OUT_W bits with SHIFT more fractional bits, exactly; all zero
// when `enable` is 0.  OUT_W holds every value: OUT_W >= IN_W + SHIFT, one more when unsigned.
module zelka_align #(
    parameter integer LANES = 1,
    parameter integer IN_W = 1,
    parameter integer IN_SIGNED = 0,
    parameter integer SHIFT = 0,
    parameter integer OUT_W = 2
) (
    input  wire [ LANES*IN_W-1:0] value,
    input  wire                   enable,
    output wire [LANES*OUT_W-1:0] aligned
);
  genvar lane;
  generate
    for (lane = 0; lane < LANES; lane = lane + 1) begin : lanes
      wire [IN_W-1:0] v = value[lane*IN_W+:IN_W];
      wire sign = IN_SIGNED != 0 && v[IN_W-1];
      wire [OUT_W+IN_W-1:0] extended = {{OUT_W{sign}}, v};
      wire [OUT_W-1:0] low = extended[OUT_W-1:0];
      assign aligned[lane*OUT_W+:OUT_W] = enable ? low << SHIFT : {OUT_W{1'b0}};
    end
  endgenerate
endmodule
)v";

constexpr std::string_view sweep_module =
    R"v(// The words of a memory visited one a clock cycle: after `start`, `word` counts from 0 to
// `last`, a word a cycle, while `active` is high.
module zelka_sweep #(
    parameter integer ADDR_W = 1
) (
    input  wire              clk,
    input  wire              rst,
    input  wire              start,
    input  wire [ADDR_W-1:0] last,
    output reg               active,
    output reg  [ADDR_W-1:0] word
);
  always @(posedge clk) begin
    if (rst) begin
      active <= 1'b0;
      word <= {ADDR_W{1'b0}};
    end else if (start) begin
      active <= 1'b1;
      word <= {ADDR_W{1'b0}};
    end else if (active) begin
      if (word == last) active <= 1'b0;
      else word <= word + 1'b1;
    end
  end
endmodule
)v";

constexpr std::string_view copy_module =
    R"v(// A pass-through node's value written into a memory of its own, word by word: a sum of
// several nodes' values, or a value that an earlier node reads at the next step.  Word i is
// read (read_word) in cycle i after the start and written in cycle i + 1; `done` marks the
// last write.  The input's lanes are two's complement values of IN_W bits; their low OUT_W
// bits are written.
module zelka_copy #(
    parameter integer LANES = 1,
    parameter integer WORDS = 1,
    parameter integer ADDR_W = 1,
    parameter integer IN_W = 2,
    parameter integer OUT_W = 1
) (
    input  wire                   clk,
    input  wire                   rst,
    input  wire                   start,
    output wire [     ADDR_W-1:0] read_word,
    input  wire [ LANES*IN_W-1:0] input_word,
    output reg                    write,
    output reg  [     ADDR_W-1:0] write_word,
    output wire [LANES*OUT_W-1:0] data,
    output wire                   done
);
  localparam integer LAST_WORD = WORDS - 1;
  localparam [ADDR_W-1:0] LAST = LAST_WORD[ADDR_W-1:0];
  wire reading;
  wire [ADDR_W-1:0] word;
  assign read_word = word;
  zelka_sweep #(
      .ADDR_W(ADDR_W)
  ) sweep (
      .clk(clk),
      .rst(rst),
      .start(start),
      .last(LAST),
      .active(reading),
      .word(word)
  );
  assign done = write && write_word == LAST;
  genvar lane;
  generate
    for (lane = 0; lane < LANES; lane = lane + 1) begin : lanes
      assign data[lane*OUT_W+:OUT_W] = input_word[lane*IN_W+:OUT_W];
    end
  endgenerate
  always @(posedge clk) begin
    write <= reading && !rst;
    write_word <= word;
  end
endmodule
)v";

constexpr std::string_view dense_module =
    R"v(// A dense layer, LANES outputs a clock cycle, that visits only the nonzero values of its
// input.  First it scans the input, a word a cycle, and lists the nonzero values with their
// positions (events); a word of k nonzero values takes k cycles, one of none a cycle.  Then,
// for each word of LANES outputs (a block), it adds value x weight for every issue, a cycle
// an issue, and writes the block's exact sum plus the bias rounded into the result type.  An
// input of spikes (SPIKES = 1: values 0 and 1) adds the weights of the events as they are,
// with no multiplier.
//
// Cycles after the start: 1 + the scan's, then per block 1 when there are no events, else
// events + 5; `done` marks the last block's write.  The input word asked for in read_word
// arrives a cycle later.  The weights file holds BLOCKS x N_IN words: word b * N_IN + i has
// weight[b * LANES + l][i] in lane l (lane 0 in the lowest bits); the biases file a word per
// block.  Values are two's complement X_W bits (X_F fractional), the accumulator ACC_W bits
// (ACC_F fractional) and holds every sum exactly.
module zelka_dense #(
    parameter integer LANES = 1,
    parameter integer N_IN = 1,
    parameter integer IN_WORDS = 1,
    parameter integer IN_ADDR_W = 1,
    parameter [LANES-1:0] IN_LAST_LANES = 1,
    parameter integer INDEX_W = 1,
    parameter integer EVENT_ADDR_W = 1,
    parameter integer BLOCKS = 1,
    parameter integer BLOCK_ADDR_W = 1,
    parameter integer WEIGHT_ADDR_W = 1,
    parameter integer SPIKES = 0,
    parameter integer X_W = 2,
    parameter integer X_F = 0,
    parameter integer W_W = 16,
    parameter integer W_F = 10,
    parameter integer W_SIGNED = 1,
    parameter integer B_W = 16,
    parameter integer B_F = 10,
    parameter integer B_SIGNED = 1,
    parameter integer ACC_W = 40,
    parameter integer ACC_F = 20,
    parameter integer R_W = 16,
    parameter integer R_F = 10,
    parameter integer R_SIGNED = 1,
    parameter integer R_QUANTISATION = 0,
    parameter integer R_OVERFLOW = 0,
    parameter WEIGHTS = "",
    parameter BIASES = ""
) (
    input  wire                    clk,
    input  wire                    rst,
    input  wire                    start,
    output wire [   IN_ADDR_W-1:0] read_word,
    input  wire [   LANES*X_W-1:0] input_word,
    output wire                    result_write,
    output wire [BLOCK_ADDR_W-1:0] result_word,
    output wire [   LANES*R_W-1:0] result,
    output wire                    done
);
  localparam integer EVENT_W = SPIKES != 0 ? INDEX_W : INDEX_W + X_W;
  localparam integer PRODUCT_W = SPIKES != 0 ? W_W + 1 : X_W + W_W + 1;
  localparam integer PRODUCT_F = SPIKES != 0 ? W_F : X_F + W_F;
  localparam [2:0] IDLE = 3'd0, SCAN = 3'd1, ACCUMULATE = 3'd2, DRAIN = 3'd3, WRITE = 3'd4;
  localparam [IN_ADDR_W:0] WORDS = IN_WORDS[IN_ADDR_W:0];
  localparam integer LAST = BLOCKS - 1;
  localparam [BLOCK_ADDR_W-1:0] LAST_BLOCK = LAST[BLOCK_ADDR_W-1:0];
  localparam [WEIGHT_ADDR_W-1:0] ROW = N_IN[WEIGHT_ADDR_W-1:0];
  localparam [INDEX_W-1:0] LANE_COUNT = LANES[INDEX_W-1:0];

  reg [2:0] state;
  // the scan: the word whose data arrives this cycle, and what is left of the word taken
  reg [IN_ADDR_W:0] next_word;
  reg [LANES-1:0] pending;
  reg [LANES*X_W-1:0] values;
  reg [INDEX_W-1:0] word_base, next_base;
  reg [EVENT_ADDR_W-1:0] events;
  // the blocks
  reg [BLOCK_ADDR_W-1:0] block;
  reg [WEIGHT_ADDR_W-1:0] weight_base;
  reg [EVENT_ADDR_W-1:0] issue;  // the event read next
  reg [1:0] drain;
  reg [4:1] valid;
  reg [X_W-1:0] value2, value3;
  wire [BLOCK_ADDR_W-1:0] bias_block = state == WRITE ? block + 1'b1 : block;

  // The nonzero lanes of the word arriving, and the lowest of those pending.
  wire more_words = next_word < WORDS;
  wire last_of_word = (pending & (pending - 1'b1)) == {LANES{1'b0}};
  wire take = state == SCAN && last_of_word;
  wire [LANES-1:0] lowest = pending & (~pending + 1'b1);
  wire [LANES-1:0] arriving;
  reg [INDEX_W-1:0] lowest_index;
  reg [X_W-1:0] lowest_value;
  integer lane;
  always @* begin
    lowest_index = word_base;
    lowest_value = {X_W{1'b0}};
    for (lane = LANES - 1; lane >= 0; lane = lane - 1)
      if (lowest[lane]) begin
        lowest_index = word_base + lane[INDEX_W-1:0];
        lowest_value = values[lane*X_W+:X_W];
      end
  end
  genvar l;
  generate
    for (l = 0; l < LANES; l = l + 1) begin : nonzero
      assign arriving[l] = |input_word[l*X_W+:X_W] &&
                           (next_word != WORDS - 1'b1 || IN_LAST_LANES[l]);
    end
  endgenerate
  assign read_word = take && more_words ? next_word[IN_ADDR_W-1:0] + 1'b1
                                        : next_word[IN_ADDR_W-1:0];

  // The events: written during the scan, read back for every block.
  wire [EVENT_W-1:0] event_written, event_read;
  wire [INDEX_W-1:0] index1 = event_read[INDEX_W-1:0];
  wire [WEIGHT_ADDR_W+INDEX_W-1:0] index1_wide = {{WEIGHT_ADDR_W{1'b0}}, index1};
  generate
    if (SPIKES != 0) begin : index_only
      assign event_written = lowest_index;
    end else begin : index_and_value
      assign event_written = {lowest_value, lowest_index};
      always @(posedge clk) {value3, value2} <= {value2, event_read[INDEX_W+:X_W]};
    end
  endgenerate
  zelka_ram #(
      .LANES (1),
      .LANE_W(EVENT_W),
      .DEPTH (N_IN),
      .ADDR_W(INDEX_W)
  ) event_memory (
      .clk(clk),
      .write_lanes(state == SCAN && pending != {LANES{1'b0}}),
      .write_address(events[INDEX_W-1:0]),
      .write_data(event_written),
      .read_address(issue[INDEX_W-1:0]),
      .read_data(event_read)
  );

  wire [LANES*W_W-1:0] weights;
  wire [LANES*B_W-1:0] biases;
  zelka_rom #(
      .WIDTH (LANES * W_W),
      .DEPTH (BLOCKS * N_IN),
      .ADDR_W(WEIGHT_ADDR_W),
      .FILE  (WEIGHTS)
  ) weight_memory (
      .clk(clk),
      .address(weight_base + index1_wide[WEIGHT_ADDR_W-1:0]),
      .data(weights)
  );
  zelka_rom #(
      .WIDTH (LANES * B_W),
      .DEPTH (BLOCKS),
      .ADDR_W(BLOCK_ADDR_W),
      .FILE  (BIASES)
  ) bias_memory (
      .clk(clk),
      .address(bias_block),
      .data(biases)
  );

  assign result_write = state == WRITE;
  assign result_word = block;
  assign done = state == WRITE && block == LAST_BLOCK;

  always @(posedge clk) begin
    valid <= rst ? 4'b0 : {valid[3:1], state == ACCUMULATE};
    if (rst) begin
      state <= IDLE;
      next_word <= {(IN_ADDR_W + 1) {1'b0}};
    end else begin
      case (state)
        IDLE:
        if (start) begin
          state <= SCAN;
          pending <= {LANES{1'b0}};
          events <= {EVENT_ADDR_W{1'b0}};
          next_base <= {INDEX_W{1'b0}};
          block <= {BLOCK_ADDR_W{1'b0}};
          weight_base <= {WEIGHT_ADDR_W{1'b0}};
        end
        SCAN: begin
          if (pending != {LANES{1'b0}}) events <= events + 1'b1;
          if (!take) pending <= pending & ~lowest;
          else if (more_words) begin
            pending <= arriving;
            values <= input_word;
            word_base <= next_base;
            next_base <= next_base + LANE_COUNT;
            next_word <= next_word + 1'b1;
          end else begin
            next_word <= {(IN_ADDR_W + 1) {1'b0}};
            issue <= {EVENT_ADDR_W{1'b0}};
            state <= events == {EVENT_ADDR_W{1'b0}} && pending == {LANES{1'b0}} ? WRITE
                                                                                : ACCUMULATE;
          end
        end
        ACCUMULATE: begin
          issue <= issue + 1'b1;
          if (issue + 1'b1 == events) begin
            state <= DRAIN;
            drain <= 2'd0;
          end
        end
        DRAIN: begin
          drain <= drain + 1'b1;
          if (drain == 2'd3) state <= WRITE;
        end
        default: begin
          issue <= {EVENT_ADDR_W{1'b0}};
          if (block == LAST_BLOCK) state <= IDLE;
          else begin
            block <= block + 1'b1;
            weight_base <= weight_base + ROW;
            state <= events == {EVENT_ADDR_W{1'b0}} ? WRITE : ACCUMULATE;
          end
        end
      endcase
    end
  end

  generate
    for (l = 0; l < LANES; l = l + 1) begin : lanes
      wire [W_W-1:0] weight = weights[l*W_W+:W_W];
      wire signed [W_W:0] weight_wide = {W_SIGNED != 0 && weight[W_W-1], weight};
      wire [B_W-1:0] bias = biases[l*B_W+:B_W];
      wire [ACC_W+B_W-1:0] bias_extended = {{ACC_W{B_SIGNED != 0 && bias[B_W-1]}}, bias};
      wire [ACC_W-1:0] bias_aligned = bias_extended[ACC_W-1:0] << (ACC_F - B_F);
      // the weight read, registered: the block RAM's output reaches the multiplier a cycle later
      reg signed [W_W:0] weight3;
      reg signed [PRODUCT_W-1:0] product;
      reg [ACC_W-1:0] sum;
      wire [ACC_W+PRODUCT_W-1:0] product_extended = {{ACC_W{product[PRODUCT_W-1]}}, product};
      wire [ACC_W-1:0] product_aligned = product_extended[ACC_W-1:0] << (ACC_F - PRODUCT_F);
      if (SPIKES != 0) begin : added
        always @(posedge clk) product <= weight3;
      end else begin : multiplied
        wire signed [X_W-1:0] x = value3;
        always @(posedge clk) product <= x * weight3;
      end
      always @(posedge clk) begin
        weight3 <= weight_wide;
        if (state == WRITE || state == IDLE) sum <= {ACC_W{1'b0}};
        else if (valid[4]) sum <= sum + product_aligned;
      end
      zelka_fixed_convert #(
          .IN_W(ACC_W),
          .IN_F(ACC_F),
          .OUT_W(R_W),
          .OUT_F(R_F),
          .OUT_SIGNED(R_SIGNED),
          .QUANTISATION(R_QUANTISATION),
          .OVERFLOW(R_OVERFLOW)
      ) rounding (
          .value(sum + bias_aligned),
          .converted(result[l*R_W+:R_W])
      );
    end
  endgenerate
endmodule
)v";

constexpr std::string_view lif_module =
    R"v(// The neurons of the LIF layers, LANES of them a clock cycle, one engine for every layer
// (the layers run one after the other).  A layer's neurons take LAYER words of the
// membrane memory from `first_word` on; each step, every neuron
//     leaks toward its rest value:   v = decay * (membrane - rest) + rest, rounded
//     integrates its input:          v = v + input, rounded
//     fires where v >= threshold and is then set to its rest value (else keeps v),
// each sum computed exactly and rounded once into the membrane type by its quantisation
// and overflow modes, as the HLS project's nnet::lif_neurons computes it.  Membranes read
// as zero until written after a `clear`.
//
// Word w of the layer is read in cycle w after the start (read_word: the input's word, whose
// data arrives a cycle later); its spikes and membranes are written in cycle w + 4, and
// `done` marks the last of those writes.  Lanes past the layer's last neuron (last_lanes in
// its last word) never fire.  The constants file holds a word per membrane word: each lane's
// {rest, threshold, decay}, lane 0 in the lowest bits.
module zelka_lif #(
    parameter integer LANES = 1,
    parameter integer WORDS = 1,
    parameter integer ADDR_W = 1,
    parameter integer LAYER_ADDR_W = 1,
    // the membrane type: width, fractional bits, signedness, quantisation and overflow modes
    // (numbered as zelka_fixed_convert numbers them)
    parameter integer M_W = 26,
    parameter integer M_F = 18,
    parameter integer M_SIGNED = 1,
    parameter integer M_QUANTISATION = 6,
    parameter integer M_OVERFLOW = 1,
    // the decay factors' type, signed
    parameter integer D_W = 20,
    parameter integer D_F = 18,
    // the input: two's complement
    parameter integer X_W = 17,
    parameter integer X_F = 10,
    parameter CONSTANTS = ""
) (
    input  wire                    clk,
    input  wire                    rst,
    input  wire                    clear,
    input  wire                    start,
    input  wire [      ADDR_W-1:0] first_word,
    input  wire [LAYER_ADDR_W-1:0] last_word,
    input  wire [       LANES-1:0] last_lanes,
    output wire [LAYER_ADDR_W-1:0] read_word,
    input  wire [   LANES*X_W-1:0] input_word,
    output wire                    spike_write,
    output wire [LAYER_ADDR_W-1:0] spike_word,
    output wire [       LANES-1:0] spikes,
    output wire                    done
);
  localparam integer C_W = 2 * M_W + D_W;
  localparam integer DIFF_W = M_W + 2;
  localparam integer PRODUCT_W = D_W + DIFF_W;
  localparam integer PRODUCT_F = D_F + M_F;
  localparam integer LEAK_W = PRODUCT_W + 1;
  localparam integer SUM_F = M_F > X_F ? M_F : X_F;
  localparam integer LEAKED_W = M_W + 1 + SUM_F - M_F;
  localparam integer INPUT_W = X_W + SUM_F - X_F;
  localparam integer SUM_W = (LEAKED_W > INPUT_W ? LEAKED_W : INPUT_W) + 1;

  wire issuing;
  wire [LAYER_ADDR_W-1:0] word;
  reg [LAYER_ADDR_W-1:0] word1, word2, word3, word4;
  reg [4:1] valid;
  reg [WORDS-1:0] written;
  reg was_written;
  wire [ADDR_W+LAYER_ADDR_W-1:0] word_wide = {{ADDR_W{1'b0}}, word};
  wire [ADDR_W+LAYER_ADDR_W-1:0] word4_wide = {{ADDR_W{1'b0}}, word4};
  wire [ADDR_W-1:0] address = first_word + word_wide[ADDR_W-1:0];
  wire [ADDR_W-1:0] write_address = first_word + word4_wide[ADDR_W-1:0];
  wire [LANES*M_W-1:0] membranes, updated;
  wire [LANES*C_W-1:0] constants;

  assign read_word = word;
  assign spike_write = valid[4];
  assign spike_word = word4;
  assign done = valid[4] && word4 == last_word;

  zelka_ram #(
      .LANES (LANES),
      .LANE_W(M_W),
      .DEPTH (WORDS),
      .ADDR_W(ADDR_W)
  ) membrane_memory (
      .clk(clk),
      .write_lanes({LANES{valid[4]}}),
      .write_address(write_address),
      .write_data(updated),
      .read_address(address),
      .read_data(membranes)
  );
  zelka_rom #(
      .WIDTH (LANES * C_W),
      .DEPTH (WORDS),
      .ADDR_W(ADDR_W),
      .FILE  (CONSTANTS)
  ) constant_memory (
      .clk(clk),
      .address(address),
      .data(constants)
  );

  always @(posedge clk) begin
    was_written <= written[address];
    if (rst || clear) written <= {WORDS{1'b0}};
    else if (valid[4]) written[write_address] <= 1'b1;
    valid <= rst ? 4'b0 : {valid[3:1], issuing};
    {word4, word3, word2, word1} <= {word3, word2, word1, word};
  end
  zelka_sweep #(
      .ADDR_W(LAYER_ADDR_W)
  ) sweep (
      .clk(clk),
      .rst(rst),
      .start(start),
      .last(last_word),
      .active(issuing),
      .word(word)
  );

  genvar lane;
  generate
    for (lane = 0; lane < LANES; lane = lane + 1) begin : lanes
      // stage 1: the membrane, constants and input of the word read
      wire [M_W-1:0] membrane = was_written ? membranes[lane*M_W+:M_W] : {M_W{1'b0}};
      wire [C_W-1:0] constant = constants[lane*C_W+:C_W];
      wire [M_W-1:0] rest1 = constant[D_W+M_W+:M_W];
      wire signed [DIFF_W-1:0] membrane_wide = {
        {2{M_SIGNED != 0 && membrane[M_W-1]}}, membrane
      };
      wire signed [DIFF_W-1:0] rest_wide = {{2{M_SIGNED != 0 && rest1[M_W-1]}}, rest1};
      reg signed [DIFF_W-1:0] difference;
      reg signed [D_W-1:0] decay;
      reg [M_W-1:0] rest2, rest3, rest4, threshold2, threshold3, threshold4;
      reg [X_W-1:0] input2, input3, input4;
      // stage 2: the decay's product
      reg signed [PRODUCT_W-1:0] product;
      // stage 3: the leak rounded
      wire [LEAK_W+M_W-1:0] rest3_extended = {{LEAK_W{M_SIGNED != 0 && rest3[M_W-1]}}, rest3};
      wire signed [LEAK_W-1:0] rest3_wide = rest3_extended[LEAK_W-1:0] << D_F;
      wire signed [LEAK_W-1:0] leak = {product[PRODUCT_W-1], product} + rest3_wide;
      wire [M_W-1:0] leak_rounded;
      reg [M_W-1:0] leaked;
      // stage 4: the input added and rounded, the threshold compared
      wire [SUM_W+M_W-1:0] leaked_extended = {{SUM_W{M_SIGNED != 0 && leaked[M_W-1]}}, leaked};
      wire [SUM_W+X_W-1:0] input_extended = {{SUM_W{input4[X_W-1]}}, input4};
      wire [SUM_W-1:0] leaked_aligned = leaked_extended[SUM_W-1:0] << (SUM_F - M_F);
      wire [SUM_W-1:0] input_aligned = input_extended[SUM_W-1:0] << (SUM_F - X_F);
      wire [SUM_W-1:0] sum = leaked_aligned + input_aligned;
      wire [M_W-1:0] v;
      wire signed [M_W:0] v_wide = {M_SIGNED != 0 && v[M_W-1], v};
      wire signed [M_W:0] threshold_wide = {M_SIGNED != 0 && threshold4[M_W-1], threshold4};
      wire fire = v_wide >= threshold_wide;
      wire counted = word4 != last_word || last_lanes[lane];

      zelka_fixed_convert #(
          .IN_W(LEAK_W),
          .IN_F(PRODUCT_F),
          .OUT_W(M_W),
          .OUT_F(M_F),
          .OUT_SIGNED(M_SIGNED),
          .QUANTISATION(M_QUANTISATION),
          .OVERFLOW(M_OVERFLOW)
      ) leak_rounding (
          .value(leak),
          .converted(leak_rounded)
      );
      zelka_fixed_convert #(
          .IN_W(SUM_W),
          .IN_F(SUM_F),
          .OUT_W(M_W),
          .OUT_F(M_F),
          .OUT_SIGNED(M_SIGNED),
          .QUANTISATION(M_QUANTISATION),
          .OVERFLOW(M_OVERFLOW)
      ) sum_rounding (
          .value(sum),
          .converted(v)
      );

      assign updated[lane*M_W+:M_W] = fire ? rest4 : v;
      assign spikes[lane] = fire && counted;

      always @(posedge clk) begin
        difference <= membrane_wide - rest_wide;
        decay <= constant[0+:D_W];
        {rest4, rest3, rest2} <= {rest3, rest2, rest1};
        {threshold4, threshold3, threshold2} <= {threshold3, threshold2, constant[D_W+:M_W]};
        {input4, input3, input2} <= {input3, input2, input_word[lane*X_W+:X_W]};
        product <= decay * difference;
        leaked <= leak_rounded;
      end
    end
  endgenerate
endmodule
)v";

}  // namespace

ProjectFiles library_files() {
  return {
      {"rtl/zelka_fixed_convert.v", std::string(fixed_convert_module)},
      {"rtl/zelka_memories.v", std::string(memories_module)},
      {"rtl/zelka_align.v", std::string(align_module)},
      {"rtl/zelka_sweep.v", std::string(sweep_module)},
      {"rtl/zelka_copy.v", std::string(copy_module)},
      {"rtl/zelka_dense.v", std::string(dense_module)},
      {"rtl/zelka_lif.v", std::string(lif_module)},
  };
}

}  // namespace zelka::fpga::rtl
