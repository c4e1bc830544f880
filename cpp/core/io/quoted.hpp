// Names and other texts from a file, made safe to show in a message.
#pragma once

#include <string>
#include <string_view>

namespace zelka::io {

// `bytes` between single quotes, every byte outside printable ASCII (and the quote and the
// backslash) written as \xHH: whatever the file holds, the message stays one line of ASCII.
std::string quoted(std::string_view bytes);

}  // namespace zelka::io
