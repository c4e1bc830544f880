#include "core/fpga/boards.hpp"

#include "core/value/python_literal.hpp"

namespace zelka::fpga {

std::optional<std::string_view> part_of_board(std::string_view name) {
  for (const Board& board : boards)
    if (board.name == name) return board.part;
  return std::nullopt;
}

std::string board_names_literal() {
  value::List names;
  for (const Board& board : boards) names.emplace_back(std::string(board.name));
  return value::python_literal(names);
}

}  // namespace zelka::fpga
