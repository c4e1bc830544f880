// A fixed-point value converted into another fixed-point type as an assignment between
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
