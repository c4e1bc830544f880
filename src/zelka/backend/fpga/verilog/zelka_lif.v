// The neurons of the LIF layers, LANES of them a clock cycle, one engine for every layer
// (the layers run one after the other).  A layer's neurons take LAYER words of the
// membrane memory from `first_word` on; each step, every neuron
//     leaks toward its rest value:   v = decay * (membrane - rest) + rest, rounded
//     integrates its input:          v = v + input, rounded
//     with reset_rule 1 (subtract), where the membrane it started from fires:
//                                    v = v - threshold, brought into range
//     fires where v >= threshold (v > threshold where fire_above), and is then set to its rest
//     value with reset_rule 0 (to rest); with 1 and 2 (none) it keeps v,
// each sum computed exactly and rounded once into the membrane type by its quantisation
// and overflow modes, as the HLS project's nnet::lif_neurons computes it.  Membranes read
// as zero until written after a `clear`.  reset_rule and fire_above are the layer's and hold
// from `start` until `done`.
//
// Word w of the layer is read in cycle w after the start (read_word: the input's word, whose
// data arrives a cycle later) and passes through a nine-stage pipeline, a carry chain or a
// multiplier a stage: the difference from rest, the decay's partial products (the factors cut
// at bit 17, each piece a block multiplier's), their sum, the leak's sum, its rounding, the
// input's sum, its rounding, the subtraction with the comparison of the integrated value, and
// the comparison of the subtracted one with the reset.  Its spikes and membranes are written
// in cycle w + 9, and `done` marks the last of those writes.  Lanes past the layer's last neuron (last_lanes in
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
    input  wire [             1:0] reset_rule,
    input  wire                    fire_above,
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

  localparam integer STAGES = 9;
  // the decay's product in pieces: each factor sign-extended to at least CUT + 1 bits and cut
  // into its CUT low bits (unsigned) and the rest (signed)
  localparam integer CUT = 17;
  localparam integer DE_W = D_W > CUT ? D_W : CUT + 1;
  localparam integer XE_W = DIFF_W > CUT ? DIFF_W : CUT + 1;
  wire issuing;
  wire [LAYER_ADDR_W-1:0] word;
  // the word in each stage, stage 1 lowest
  reg [STAGES*LAYER_ADDR_W-1:0] stage_words;
  wire [LAYER_ADDR_W-1:0] last_stage_word = stage_words[(STAGES-1)*LAYER_ADDR_W+:LAYER_ADDR_W];
  reg [STAGES:1] valid;
  reg [WORDS-1:0] written;
  reg was_written;
  wire [ADDR_W+LAYER_ADDR_W-1:0] word_wide = {{ADDR_W{1'b0}}, word};
  wire [ADDR_W+LAYER_ADDR_W-1:0] written_word_wide = {{ADDR_W{1'b0}}, last_stage_word};
  wire [ADDR_W-1:0] address = first_word + word_wide[ADDR_W-1:0];
  wire [ADDR_W-1:0] write_address = first_word + written_word_wide[ADDR_W-1:0];
  wire [LANES*M_W-1:0] membranes, updated;
  wire [LANES*C_W-1:0] constants;

  assign read_word = word;
  assign spike_write = valid[STAGES];
  assign spike_word = last_stage_word;
  assign done = valid[STAGES] && last_stage_word == last_word;

  zelka_ram #(
      .LANES (LANES),
      .LANE_W(M_W),
      .DEPTH (WORDS),
      .ADDR_W(ADDR_W)
  ) membrane_memory (
      .clk(clk),
      .write_lanes({LANES{valid[STAGES]}}),
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
    else if (valid[STAGES]) written[write_address] <= 1'b1;
    valid <= rst ? {STAGES{1'b0}} : {valid[STAGES-1:1], issuing};
    stage_words <= {stage_words[(STAGES-1)*LAYER_ADDR_W-1:0], word};
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
      wire [M_W-1:0] threshold1 = constant[D_W+:M_W];
      wire signed [DIFF_W-1:0] membrane_wide = {
        {2{M_SIGNED != 0 && membrane[M_W-1]}}, membrane
      };
      wire signed [DIFF_W-1:0] rest_wide = {{2{M_SIGNED != 0 && rest1[M_W-1]}}, rest1};
      reg signed [DIFF_W-1:0] difference;
      reg signed [D_W-1:0] decay;
      // the rest value and threshold of stages 2 to 9 (stage 2 lowest), the input of stages 2
      // to 6, and whether the membrane the step starts from fires (for the subtraction)
      reg [(STAGES-1)*M_W-1:0] rests, thresholds;
      reg [5*X_W-1:0] inputs;
      reg [STAGES-1:1] started_above;
      wire signed [DIFF_W-1:0] threshold_wide1 = {
        {2{M_SIGNED != 0 && threshold1[M_W-1]}}, threshold1
      };
      wire started_above1 = fire_above ? membrane_wide > threshold_wide1
                                       : membrane_wide >= threshold_wide1;
      // stage 2: the decay's partial products
      wire [DE_W+D_W-1:0] decay_extended = {{DE_W{decay[D_W-1]}}, decay};
      wire [XE_W+DIFF_W-1:0] difference_extended = {{XE_W{difference[DIFF_W-1]}}, difference};
      wire signed [CUT:0] decay_low = {1'b0, decay_extended[CUT-1:0]};
      wire signed [DE_W-CUT-1:0] decay_high = decay_extended[DE_W-1:CUT];
      wire signed [CUT:0] difference_low = {1'b0, difference_extended[CUT-1:0]};
      wire signed [XE_W-CUT-1:0] difference_high = difference_extended[XE_W-1:CUT];
      reg signed [2*CUT+1:0] low_low;
      reg signed [DE_W:0] high_low;
      reg signed [XE_W:0] low_high;
      reg signed [DE_W+XE_W-2*CUT-1:0] high_high;
      // stage 3: their sum, the exact product (two's complement, PRODUCT_W bits hold it)
      wire [PRODUCT_W+2*CUT+1:0] low_low_extended = {{PRODUCT_W{low_low[2*CUT+1]}}, low_low};
      wire [PRODUCT_W+DE_W:0] high_low_extended = {{PRODUCT_W{high_low[DE_W]}}, high_low};
      wire [PRODUCT_W+XE_W:0] low_high_extended = {{PRODUCT_W{low_high[XE_W]}}, low_high};
      wire [PRODUCT_W+DE_W+XE_W-2*CUT-1:0] high_high_extended = {
        {PRODUCT_W{high_high[DE_W+XE_W-2*CUT-1]}}, high_high
      };
      wire [PRODUCT_W-1:0] middle = high_low_extended[PRODUCT_W-1:0] +
          low_high_extended[PRODUCT_W-1:0];
      reg signed [PRODUCT_W-1:0] product;
      // stage 4: the leak's exact sum
      wire [M_W-1:0] rest4 = rests[2*M_W+:M_W];
      wire [LEAK_W+M_W-1:0] rest4_extended = {{LEAK_W{M_SIGNED != 0 && rest4[M_W-1]}}, rest4};
      wire signed [LEAK_W-1:0] rest4_wide = rest4_extended[LEAK_W-1:0] << D_F;
      reg signed [LEAK_W-1:0] leak;
      // stage 5: the leak rounded
      wire [M_W-1:0] leak_rounded;
      reg [M_W-1:0] leaked;
      // stage 6: the input's exact sum
      wire [X_W-1:0] input6 = inputs[4*X_W+:X_W];
      wire [SUM_W+M_W-1:0] leaked_extended = {{SUM_W{M_SIGNED != 0 && leaked[M_W-1]}}, leaked};
      wire [SUM_W+X_W-1:0] input_extended = {{SUM_W{input6[X_W-1]}}, input6};
      wire [SUM_W-1:0] leaked_aligned = leaked_extended[SUM_W-1:0] << (SUM_F - M_F);
      wire [SUM_W-1:0] input_aligned = input_extended[SUM_W-1:0] << (SUM_F - X_F);
      reg [SUM_W-1:0] sum;
      // stage 7: the sum rounded
      wire [M_W-1:0] sum_rounded;
      reg [M_W-1:0] integrated;
      // stage 8: the threshold subtracted and brought into range; the integrated value compared
      wire [M_W-1:0] threshold8 = thresholds[6*M_W+:M_W];
      wire signed [M_W:0] integrated_wide = {M_SIGNED != 0 && integrated[M_W-1], integrated};
      wire signed [M_W:0] threshold8_wide = {M_SIGNED != 0 && threshold8[M_W-1], threshold8};
      wire signed [M_W+1:0] difference8 = {integrated_wide[M_W], integrated_wide} -
          {threshold8_wide[M_W], threshold8_wide};
      wire [M_W-1:0] subtraction_ranged;
      reg [M_W-1:0] integrated9, subtracted;
      reg integrated_fires;
      // stage 9: the subtracted value compared, the value chosen by the rule, the reset
      wire [M_W-1:0] threshold9 = thresholds[7*M_W+:M_W];
      wire signed [M_W:0] threshold9_wide = {M_SIGNED != 0 && threshold9[M_W-1], threshold9};
      wire signed [M_W:0] subtracted_wide = {M_SIGNED != 0 && subtracted[M_W-1], subtracted};
      wire subtracting = reset_rule == 2'd1 && started_above[STAGES-1];
      wire subtracted_fires = fire_above ? subtracted_wide > threshold9_wide
                                         : subtracted_wide >= threshold9_wide;
      wire fire = subtracting ? subtracted_fires : integrated_fires;
      wire [M_W-1:0] v = subtracting ? subtracted : integrated9;
      wire counted = last_stage_word != last_word || last_lanes[lane];

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
          .converted(sum_rounded)
      );
      zelka_fixed_convert #(
          .IN_W(M_W + 2),
          .IN_F(M_F),
          .OUT_W(M_W),
          .OUT_F(M_F),
          .OUT_SIGNED(M_SIGNED),
          .QUANTISATION(M_QUANTISATION),
          .OVERFLOW(M_OVERFLOW)
      ) subtraction_range (
          .value(difference8),
          .converted(subtraction_ranged)
      );

      assign updated[lane*M_W+:M_W] = reset_rule == 2'd0 && fire ? rests[7*M_W+:M_W] : v;
      assign spikes[lane] = fire && counted;

      always @(posedge clk) begin
        difference <= membrane_wide - rest_wide;
        decay <= constant[0+:D_W];
        rests <= {rests[(STAGES-2)*M_W-1:0], rest1};
        thresholds <= {thresholds[(STAGES-2)*M_W-1:0], threshold1};
        inputs <= {inputs[4*X_W-1:0], input_word[lane*X_W+:X_W]};
        started_above <= {started_above[STAGES-2:1], started_above1};
        low_low <= decay_low * difference_low;
        high_low <= decay_high * difference_low;
        low_high <= decay_low * difference_high;
        high_high <= decay_high * difference_high;
        product <= (high_high_extended[PRODUCT_W-1:0] << (2 * CUT)) + (middle << CUT) +
            low_low_extended[PRODUCT_W-1:0];
        leak <= {product[PRODUCT_W-1], product} + rest4_wide;
        leaked <= leak_rounded;
        sum <= leaked_aligned + input_aligned;
        integrated <= sum_rounded;
        integrated9 <= integrated;
        subtracted <= subtraction_ranged;
        integrated_fires <= fire_above ? integrated_wide > threshold8_wide
                                       : integrated_wide >= threshold8_wide;
      end
    end
  endgenerate
endmodule
