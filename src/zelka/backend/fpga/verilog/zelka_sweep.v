// The words of a memory visited one a clock cycle: after `start`, `word` counts from 0 to
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
