// The development boards the FPGA backend knows, their Xilinx part numbers, and the
// resource limits of the parts that have them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zelka::fpga {

struct Board {
  std::string_view name;
  std::string_view part;
};

// In table order, which is the order users see (board lists, the descriptor's table).
inline constexpr std::array<Board, 6> boards{{
    {"zcu102", "xczu9eg-ffvb1156-2-i"},
    {"zcu104", "xczu7ev-ffvc1156-2-e"},
    {"zcu111", "xczu28dr-ffvg1517-2-e"},
    {"ultra96", "xczu3eg-sbva484-1-e"},
    {"pynq_z1", "xc7z020clg400-1"},
    {"pynq_z2", "xc7z020clg400-1"},
}};

using Resources = std::array<std::pair<std::string_view, std::int64_t>, 6>;

struct PartResources {
  std::string_view part;
  Resources resources;  // luts, ffs, bram36, bram_bytes, dsp48, ultraram
};

// bram_bytes = bram36 x 36 Kib / 8 = bram36 x 4608.
inline constexpr std::array<PartResources, 2> part_resources{{
    {"xczu9eg-ffvb1156-2-i",
     {{{"luts", 274080},
       {"ffs", 548160},
       {"bram36", 912},
       {"bram_bytes", 4202496},
       {"dsp48", 2520},
       {"ultraram", 0}}}},
    {"xc7z020clg400-1",
     {{{"luts", 53200},
       {"ffs", 106400},
       {"bram36", 140},
       {"bram_bytes", 645120},
       {"dsp48", 220},
       {"ultraram", 0}}}},
}};

// The board the writers target unless told otherwise, and its part.
inline constexpr std::string_view default_board = "zcu102";
inline constexpr std::string_view default_part = [] {
  for (const Board& board : boards)
    if (board.name == default_board) return board.part;
  throw "the default board is missing from the board table";  // fails the build
}();

// The part of a board named exactly `name` (names are lower case), if the table has it.
std::optional<std::string_view> part_of_board(std::string_view name);

// The board names in table order as a Python list literal: "['zcu102', 'zcu104', ...]".
std::string board_names_literal();

}  // namespace zelka::fpga
