// A memory of DEPTH words, each LANES values of LANE_W bits.  One port writes the lanes its
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
