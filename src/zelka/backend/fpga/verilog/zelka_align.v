// A word of LANES values of IN_W bits (two's complement when IN_SIGNED is 1, else unsigned)
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
