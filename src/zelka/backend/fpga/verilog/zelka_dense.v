// A dense layer, OUT_LANES outputs a clock cycle, that visits only the nonzero values of its
// input.  It scans the input, a word of LANES values a cycle, and lists the nonzero values with
// their positions (events); a word of k nonzero values takes k cycles, one of none a cycle.
// The scan's events accumulate into the first block of OUT_LANES outputs as they are found;
// every later block reads the list back, an event a cycle.  A block adds value x weight for
// each event and writes its exact sums plus the biases, rounded into the result type, a word
// of LANES outputs a cycle (BLOCK_WORDS = OUT_LANES / LANES words, fewer in the last block).
// An input of spikes (SPIKES = 1: values 0 and 1) adds the weights of the events as they are,
// with no multiplier.
//
// Cycles after the start: 1 + the scan's + OUT_WORDS writes, and when there are events 4 to
// drain the first block and events + 4 for each later one; `done` marks the last write.  The
// input word asked for in read_word arrives a cycle later.  The weights file holds
// BLOCKS x N_IN words: word b * N_IN + i has weight[b * OUT_LANES + l][i] in lane l (lane 0 in
// the lowest bits); the biases file a word per output word.  Values are two's complement X_W
// bits (X_F fractional), the accumulator ACC_W bits (ACC_F fractional) and holds every sum
// exactly.
module zelka_dense #(
    parameter integer LANES = 1,
    parameter integer OUT_LANES = 1,
    parameter integer BLOCK_WORDS = 1,
    parameter integer PART_W = 1,
    parameter integer OUT_WORDS = 1,
    parameter integer OUT_ADDR_W = 1,
    parameter integer N_IN = 1,
    parameter integer IN_WORDS = 1,
    parameter integer IN_ADDR_W = 1,
    parameter [LANES-1:0] IN_LAST_LANES = 1,
    parameter integer INDEX_W = 1,
    parameter integer EVENT_ADDR_W = 1,
    parameter integer BLOCKS = 1,
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
    input  wire                  clk,
    input  wire                  rst,
    input  wire                  start,
    output wire [ IN_ADDR_W-1:0] read_word,
    input  wire [ LANES*X_W-1:0] input_word,
    output wire                  result_write,
    output wire [OUT_ADDR_W-1:0] result_word,
    output wire [ LANES*R_W-1:0] result,
    output wire                  done
);
  localparam integer PRODUCT_W = SPIKES != 0 ? W_W + 1 : X_W + W_W + 1;
  localparam integer PRODUCT_F = SPIKES != 0 ? W_F : X_F + W_F;
  localparam [2:0] IDLE = 3'd0, SCAN = 3'd1, ACCUMULATE = 3'd2, DRAIN = 3'd3, WRITE = 3'd4;
  localparam [IN_ADDR_W:0] WORDS = IN_WORDS[IN_ADDR_W:0];
  localparam integer LAST = OUT_WORDS - 1;
  localparam [OUT_ADDR_W-1:0] LAST_WORD = LAST[OUT_ADDR_W-1:0];
  localparam integer LAST_PART_OF_BLOCK = BLOCK_WORDS - 1;
  localparam [PART_W-1:0] LAST_PART = LAST_PART_OF_BLOCK[PART_W-1:0];
  localparam [WEIGHT_ADDR_W-1:0] ROW = N_IN[WEIGHT_ADDR_W-1:0];
  localparam [INDEX_W-1:0] LANE_COUNT = LANES[INDEX_W-1:0];
  localparam [IN_ADDR_W-1:0] SECOND_WORD = 1;
  localparam [IN_ADDR_W:0] TWO_WORDS = 2;

  reg [2:0] state;
  // the scan: the word whose data arrives this cycle, and what is left of the word taken
  reg [IN_ADDR_W:0] next_word;
  reg [LANES-1:0] pending;
  reg [LANES*X_W-1:0] values;
  reg [INDEX_W-1:0] word_base, next_base;
  reg [EVENT_ADDR_W-1:0] events;
  // the blocks: the first takes its events from the scan, the others from the list
  reg first_block;
  reg [INDEX_W-1:0] scan_index;
  reg [X_W-1:0] scan_value;
  reg [WEIGHT_ADDR_W-1:0] weight_base;
  reg [EVENT_ADDR_W-1:0] issue;  // the event read next
  reg [1:0] drain;
  reg [4:1] valid;
  reg [X_W-1:0] value2, value3;
  reg [OUT_ADDR_W-1:0] out_word;
  reg [PART_W-1:0] part;
  wire [OUT_ADDR_W-1:0] bias_word = state == WRITE ? out_word + 1'b1 : out_word;

  // The nonzero lanes of the word arriving, and the lowest of those pending.  Whether at most
  // one lane is pending, whether words remain (and the scan goes on) and the word after
  // next_word are kept in registers beside them, so that the read address is a multiplexer of
  // registers.
  reg single, more_words, scanning_more;
  reg [IN_ADDR_W-1:0] following_word;
  wire take = state == SCAN && single;
  wire found = state == SCAN && pending != {LANES{1'b0}};
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
  assign read_word = scanning_more && single ? following_word : next_word[IN_ADDR_W-1:0];
  wire [LANES-1:0] rest = pending & ~lowest;
  wire [IN_ADDR_W:0] after_next = next_word + TWO_WORDS;

  // The events: found by the scan, and for more than one block written into a list that
  // every later block reads back.
  wire [INDEX_W-1:0] index1;
  wire [X_W-1:0] value1;
  generate
    if (BLOCKS > 1) begin : listed
      localparam integer EVENT_W = SPIKES != 0 ? INDEX_W : INDEX_W + X_W;
      wire [EVENT_W-1:0] event_written, event_read;
      if (SPIKES != 0) begin : index_only
        assign event_written = lowest_index;
        assign value1 = {X_W{1'b0}};
      end else begin : index_and_value
        assign event_written = {lowest_value, lowest_index};
        assign value1 = first_block ? scan_value : event_read[INDEX_W+:X_W];
      end
      assign index1 = first_block ? scan_index : event_read[INDEX_W-1:0];
      zelka_ram #(
          .LANES (1),
          .LANE_W(EVENT_W),
          .DEPTH (N_IN),
          .ADDR_W(INDEX_W)
      ) event_memory (
          .clk(clk),
          .write_lanes(found),
          .write_address(events[INDEX_W-1:0]),
          .write_data(event_written),
          .read_address(issue[INDEX_W-1:0]),
          .read_data(event_read)
      );
    end else begin : scanned
      assign index1 = scan_index;
      assign value1 = scan_value;
    end
  endgenerate
  wire [WEIGHT_ADDR_W+INDEX_W-1:0] index1_wide = {{WEIGHT_ADDR_W{1'b0}}, index1};
  always @(posedge clk) begin
    scan_index <= lowest_index;
    if (SPIKES == 0) begin
      scan_value <= lowest_value;
      {value3, value2} <= {value2, value1};
    end
  end

  wire [OUT_LANES*W_W-1:0] weights;
  wire [LANES*B_W-1:0] biases;
  zelka_rom #(
      .WIDTH (OUT_LANES * W_W),
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
      .DEPTH (OUT_WORDS),
      .ADDR_W(OUT_ADDR_W),
      .FILE  (BIASES)
  ) bias_memory (
      .clk(clk),
      .address(bias_word),
      .data(biases)
  );

  wire block_written = state == WRITE && part == LAST_PART;
  assign result_write = state == WRITE;
  assign result_word = out_word;
  assign done = state == WRITE && out_word == LAST_WORD;

  always @(posedge clk) begin
    valid <= rst ? 4'b0 : {valid[3:1], found || state == ACCUMULATE};
    if (rst) begin
      state <= IDLE;
      next_word <= {(IN_ADDR_W + 1) {1'b0}};
      following_word <= SECOND_WORD;
      more_words <= 1'b1;
      scanning_more <= 1'b0;
    end else begin
      case (state)
        IDLE:
        if (start) begin
          state <= SCAN;
          scanning_more <= 1'b1;
          pending <= {LANES{1'b0}};
          single <= 1'b1;
          events <= {EVENT_ADDR_W{1'b0}};
          next_base <= {INDEX_W{1'b0}};
          first_block <= 1'b1;
          weight_base <= {WEIGHT_ADDR_W{1'b0}};
          out_word <= {OUT_ADDR_W{1'b0}};
          part <= {PART_W{1'b0}};
        end
        SCAN: begin
          if (found) events <= events + 1'b1;
          if (!take) begin
            pending <= rest;
            single <= (rest & (rest - 1'b1)) == {LANES{1'b0}};
          end else if (more_words) begin
            pending <= arriving;
            single <= (arriving & (arriving - 1'b1)) == {LANES{1'b0}};
            values <= input_word;
            word_base <= next_base;
            next_base <= next_base + LANE_COUNT;
            next_word <= next_word + 1'b1;
            following_word <= after_next[IN_ADDR_W-1:0];
            more_words <= next_word + 1'b1 < WORDS;
            scanning_more <= next_word + 1'b1 < WORDS;
          end else begin
            next_word <= {(IN_ADDR_W + 1) {1'b0}};
            following_word <= SECOND_WORD;
            more_words <= 1'b1;
            scanning_more <= 1'b0;
            drain <= 2'd0;
            state <= events == {EVENT_ADDR_W{1'b0}} && !found ? WRITE : DRAIN;
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
          out_word <= out_word + 1'b1;
          part <= part + 1'b1;
          if (out_word == LAST_WORD) state <= IDLE;
          else if (block_written) begin
            part <= {PART_W{1'b0}};
            first_block <= 1'b0;
            issue <= {EVENT_ADDR_W{1'b0}};
            weight_base <= weight_base + ROW;
            state <= events == {EVENT_ADDR_W{1'b0}} ? WRITE : ACCUMULATE;
          end
        end
      endcase
    end
  end

  // The block's sums: written LANES at a time from lane 0, the others moving down a word.
  wire [OUT_LANES*ACC_W-1:0] sums;
  generate
    for (l = 0; l < OUT_LANES; l = l + 1) begin : lanes
      wire [W_W-1:0] weight = weights[l*W_W+:W_W];
      wire signed [W_W:0] weight_wide = {W_SIGNED != 0 && weight[W_W-1], weight};
      // the weight read, registered: the block RAM's output reaches the multiplier a cycle later
      reg signed [W_W:0] weight3;
      reg signed [PRODUCT_W-1:0] product;
      reg [ACC_W-1:0] sum;
      wire [ACC_W-1:0] moved_down;
      wire [ACC_W+PRODUCT_W-1:0] product_extended = {{ACC_W{product[PRODUCT_W-1]}}, product};
      wire [ACC_W-1:0] product_aligned = product_extended[ACC_W-1:0] << (ACC_F - PRODUCT_F);
      assign sums[l*ACC_W+:ACC_W] = sum;
      if (l + LANES < OUT_LANES) begin : below
        assign moved_down = sums[(l+LANES)*ACC_W+:ACC_W];
      end else begin : top
        assign moved_down = {ACC_W{1'b0}};
      end
      if (SPIKES != 0) begin : added
        always @(posedge clk) product <= weight3;
      end else begin : multiplied
        wire signed [X_W-1:0] x = value3;
        always @(posedge clk) product <= x * weight3;
      end
      always @(posedge clk) begin
        weight3 <= weight_wide;
        if (state == IDLE || block_written) sum <= {ACC_W{1'b0}};
        else if (state == WRITE) sum <= moved_down;
        else if (valid[4]) sum <= sum + product_aligned;
      end
    end
    for (l = 0; l < LANES; l = l + 1) begin : results
      wire [B_W-1:0] bias = biases[l*B_W+:B_W];
      wire [ACC_W+B_W-1:0] bias_extended = {{ACC_W{B_SIGNED != 0 && bias[B_W-1]}}, bias};
      wire [ACC_W-1:0] bias_aligned = bias_extended[ACC_W-1:0] << (ACC_F - B_F);
      zelka_fixed_convert #(
          .IN_W(ACC_W),
          .IN_F(ACC_F),
          .OUT_W(R_W),
          .OUT_F(R_F),
          .OUT_SIGNED(R_SIGNED),
          .QUANTISATION(R_QUANTISATION),
          .OVERFLOW(R_OVERFLOW)
      ) rounding (
          .value(sums[l*ACC_W+:ACC_W] + bias_aligned),
          .converted(result[l*R_W+:R_W])
      );
    end
  endgenerate
endmodule
