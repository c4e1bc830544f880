// A pass-through node's value written into a memory of its own, word by word: a sum of
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
